#include "install.hpp"

#include <string>

#include "console.hpp"
#include "constants.hpp"
#include "digest.hpp"
#include "process.hpp"
#include "shell.hpp"
#include "storage.hpp"
#include "trial.hpp"

namespace updater {
namespace {

/// Runs the copy `command`, flushes its target `image` and reads it back from
/// the medium; true when all of that succeeded and the image read back has
/// the digest `digest`, otherwise says why.
bool copy_durably(const char* command, const char* image, const std::string& digest) {
    if (!run_command(command) || !flush_to_storage(image, image_directory)) {
        return false;
    }
    const std::optional<std::string> written = _get_shasum(image);
    if (written && *written != digest) {
        warn(std::string(image) + " reads back from the medium other than what was copied");
    }
    return written == digest;
}

}  // namespace

bool update_firmware(const std::optional<std::string>& fallback_digest,
                     const std::string& update_digest) {
    say(message_copying);
    if (fallback_digest && !copy_durably(keep_fallback_command, fallback_image, *fallback_digest)) {
        return false;
    }
    if (stop_requested() != 0 || !create_durably(install_marker, image_directory)) {
        return false;
    }
    if (copy_durably(install_command, current_image, update_digest)) {
        // While the marker stays, the device boots the fallback image: the
        // update is in place only once the marker is gone, and not before
        // its trial has begun (with trial boots), so that no cut leaves a
        // new image that looks confirmed.
        return begin_trial() && remove_durably(install_marker, image_directory);
    }
    if (fallback_digest && copy_durably(restore_command, current_image, *fallback_digest)) {
        remove_durably(install_marker, image_directory);
    }
    return false;
}

bool ready_to_install() {
    bool ready = trial_state_writable();
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

bool finish_interrupted_install() {
    return trial_state_writable() && begin_trial() &&
           remove_durably(install_marker, image_directory);
}

}  // namespace updater
