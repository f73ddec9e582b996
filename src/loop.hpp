// Loop devices: which file a mounted image is read from.
#pragma once

#include <optional>
#include <string>

namespace updater {

/// The loop device ("/dev/loopN") whose backing file is the file at `path`,
/// compared by device and inode (the kernel's record of the backing file),
/// so that a path seen from another mount namespace or through a link makes
/// no difference; std::nullopt when none is, when `path` does not exist, or
/// when no loop device can be looked at. Opens each loop device under /dev
/// read-only and closes it again; writes nothing.
std::optional<std::string> loop_device_backed_by(const char* path);

}  // namespace updater
