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
    if (copy_durably(install_command, current_image)) {
        return true;
    }
    if (keep) {
        copy_durably(restore_command, current_image);
    }
    return false;
}

}  // namespace updater
