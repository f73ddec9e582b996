#include "install.hpp"

#include <string>

#include "console.hpp"
#include "constants.hpp"
#include "process.hpp"
#include "shell.hpp"
#include "storage.hpp"

namespace updater {
namespace {

/// Runs the copy `command` and flushes its target `image`; true when both
/// succeeded.
bool copy_durably(const char* command, const char* image) {
    return run_command(command) && flush_to_storage(image, image_directory);
}

}  // namespace

bool update_firmware(Fallback fallback) {
    say(message_copying);
    const bool keep = fallback == Fallback::keep;
    if (keep && !copy_durably(keep_fallback_command, fallback_image)) {
        return false;
    }
    if (stop_requested() != 0 || !create_durably(install_marker, image_directory)) {
        return false;
    }
    if (copy_durably(install_command, current_image)) {
        // While the marker stays, the device boots the fallback image: the
        // update is in place only once the marker is gone.
        return remove_durably(install_marker, image_directory);
    }
    if (keep && copy_durably(restore_command, current_image)) {
        remove_durably(install_marker, image_directory);
    }
    return false;
}

bool ready_to_install() {
    bool ready = true;
    for (const char* path : {current_image, fallback_image, install_marker}) {
        ready = regular_or_absent(path) && ready;
    }
    for (const char* path : {current_image, fallback_image}) {
        if (same_file(update_file, path)) {
            warn(std::string(update_file) + " is " + path + " itself");
            ready = false;
        }
    }
    return ready;
}

bool install_interrupted() { return exists(install_marker); }

bool finish_interrupted_install() { return remove_durably(install_marker, image_directory); }

}  // namespace updater
