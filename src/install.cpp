#include "install.hpp"

#include "console.hpp"
#include "constants.hpp"
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
    if (!create_durably(install_marker, image_directory)) {
        return false;
    }
    if (copy_durably(install_command, current_image)) {
        // The new image is complete; a marker left by a failed removal only
        // costs the next run its fallback copy.
        remove_durably(install_marker, image_directory);
        return true;
    }
    if (keep && copy_durably(restore_command, current_image)) {
        remove_durably(install_marker, image_directory);
    }
    return false;
}

bool install_interrupted() { return exists(install_marker); }

bool finish_interrupted_install() { return remove_durably(install_marker, image_directory); }

}  // namespace updater
