// A build for any device.
#include "compatible.hpp"

namespace updater {

std::optional<std::string> incompatibility(const std::optional<Manifest>&) { return std::nullopt; }

}  // namespace updater
