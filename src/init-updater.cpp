// init-updater: installs the firmware update on the USB stick, keeping the
// image installed now as the fallback image. Run once at start-up with the
// stick mounted at /mnt/usb and the image partition, writable, at
// /mnt/imgpart. Takes no arguments; always exits with status 0.

#include <optional>
#include <string>

#include "console.hpp"
#include "constants.hpp"
#include "digest.hpp"
#include "install.hpp"

int main(int, char**) {
    using namespace updater;

    say(message_found);
    const bool current_suspect = install_interrupted();
    const std::optional<std::string> current = _get_shasum(current_image);
    const std::optional<std::string> update = _get_shasum(update_file);
    if (!update) {
        say(message_unreadable);
        return 0;
    }
    if (current == update) {
        if (current_suspect) {
            finish_interrupted_install();
        }
        return 0;
    }

    // An image that may be incomplete is no fallback: keep the one there is.
    say(message_updating);
    const bool keep = current && !current_suspect;
    const bool installed = update_firmware(keep ? Fallback::keep : Fallback::skip);
    say(installed ? message_complete : message_failed);
    return 0;
}
