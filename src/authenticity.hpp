// Whether an update may be installed: in a build with a signing key, only
// when it carries a valid signature by that key.
#pragma once

#include <optional>
#include <string>

namespace updater {

/// Returns std::nullopt when the update whose digest (128 hexadecimal
/// characters) is `digest` may be installed; otherwise why not, as a reason
/// line. In a build with a signing key: it may exactly when
/// /mnt/usb/kestran.fir.sig is a small regular file holding a signify
/// signature by that key of the digest followed by a newline. Writes
/// nothing to standard error. The file is read only once it is known to be
/// a regular file, so a FIFO or a device there cannot hold the run up. In a
/// build without a key: always true, and nothing is read.
std::optional<std::string> authenticity_problem(const std::string& digest);

}  // namespace updater
