// One model: a build for one kind of device takes only updates whose signed
// manifest names that device's compatible string. A build without one takes
// updates for any device.
#pragma once

#include <optional>
#include <string>

#include "manifest.hpp"

namespace updater {

/// Returns std::nullopt when an update whose signed manifest is `manifest`
/// (std::nullopt: its signature carries none) is for this device; otherwise
/// why not, as a reason line. With a compatible string built in, the
/// manifest must name exactly that string. Without: always std::nullopt.
std::optional<std::string> incompatibility(const std::optional<Manifest>& manifest);

}  // namespace updater
