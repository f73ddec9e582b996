// init-updater: installs the firmware update on the USB stick, keeping the
// image installed now as the fallback image. Run once at start-up with the
// stick mounted at /mnt/usb and the image partition, writable, at
// /mnt/imgpart. Takes no arguments; always exits with status 0.

#include <signal.h>

#include <optional>
#include <string>

#include "authenticity.hpp"
#include "console.hpp"
#include "constants.hpp"
#include "digest.hpp"
#include "install.hpp"
#include "process.hpp"
#include "storage.hpp"
#include "trial.hpp"

namespace {

/// Ends a run that cannot install the update: the reason for a stop request,
/// if that is what ended it, then "Update failed.". Returns main's status.
int fail() {
    using namespace updater;
    if (const int signal = stop_requested(); signal != 0) {
        warn(std::string("stopped by ") + stop_signal_name(signal) +
             "; the update is not installed");
    }
    say(message_failed);
    return 0;
}

}  // namespace

int main(int, char**) {
    using namespace updater;

    prepare_process();
    say(message_found);
    // One run at a time: a second one waits, then decides afresh.
    const std::optional<FileDescriptor> lock = lock_directory(image_directory);
    if (!lock) {
        return fail();
    }
    const bool interrupted = install_interrupted();
    // Only an image that is complete and, with trial boots, confirmed is one
    // to fall back to; but an unconfirmed one is kept where there is no
    // fallback image at all, since it is then the only image to boot.
    const bool known_good =
        !interrupted && (!current_image_on_trial() || !is_image_file(fallback_image));
    std::optional<std::string> current = _get_shasum(current_image);
    if (!current && is_image_file(current_image)) {
        // There, but it did not read: a read error may clear on a retry.
        current = _get_shasum(current_image);
    }
    const std::optional<std::string> update = _get_shasum(update_file);
    if (stop_requested() != 0) {
        return fail();
    }
    if (!update) {
        say(message_unreadable);
        return 0;
    }
    if (current == update) {
        // An image left suspect by a cut-off install is what this update
        // would install: it is confirmed only for an authentic update.
        if (interrupted) {
            if (const Verdict verdict = check_signature(*update); verdict.problem) {
                warn(*verdict.problem);
                say(message_rejected);
                return 0;
            }
            finish_interrupted_install();
        }
        return 0;
    }
    if (const Verdict verdict = check_signature(*update); verdict.problem) {
        warn(*verdict.problem);
        say(message_rejected);
        return 0;
    }

    // An image that may be incomplete is no fallback: keep the one there is.
    say(message_updating);
    if (!ready_to_install()) {
        return fail();
    }
    // An image that is there but cannot be read is overwritten only while a
    // fallback image stands ready to boot should the install fail.
    if (!current && !interrupted && is_image_file(current_image) &&
        !is_image_file(fallback_image)) {
        warn(std::string(current_image) +
             " could not be read and there is no fallback image: it is not overwritten");
        return fail();
    }
    const std::optional<std::string> keep = known_good ? current : std::nullopt;
    if (!update_firmware(keep, *update)) {
        return fail();
    }
    say(message_complete);
    return 0;
}
