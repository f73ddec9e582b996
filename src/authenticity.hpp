// Whether an update may be installed: in a build with a signing key, only
// when it carries a valid signature by that key.
#pragma once

#include <string>

namespace updater {

/// True when the update whose digest (128 hexadecimal characters) is
/// `digest` may be installed. In a build with a signing key: exactly when
/// /mnt/usb/kestran.fir.sig is a small regular file holding a signify
/// signature by that key of the digest followed by a newline; otherwise it
/// says why on standard error. The file is read only once it is known to be
/// a regular file, so a FIFO or a device there cannot hold the run up. In a
/// build without a key: always true, and nothing is read.
bool update_is_authentic(const std::string& digest);

}  // namespace updater
