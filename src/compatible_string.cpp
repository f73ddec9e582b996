// A build for one kind of device: UPDATER_COMPATIBLE is its compatible
// string, checked at configure time to be 1 to 64 of A-Z a-z 0-9 . _ + -.
#include "compatible.hpp"

namespace updater {

std::optional<std::string> incompatibility(const std::optional<Manifest>& manifest) {
    constexpr const char* device = UPDATER_COMPATIBLE;
    if (!manifest) {
        return std::string("the update's signature names no compatible device: this device (") +
               device + ") takes only updates made for it";
    }
    if (!manifest->compatible) {
        return std::string("the update's manifest names no compatible device: this device (") +
               device + ") takes only updates made for it";
    }
    if (*manifest->compatible != device) {
        return "the update is for " + *manifest->compatible + ", not for this device (" + device +
               ")";
    }
    return std::nullopt;
}

}  // namespace updater
