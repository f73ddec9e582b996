// Whether an update may be installed: in a build with signing keys, only
// when it carries a valid signature by one of them.
#pragma once

#include <optional>
#include <string>

#include "manifest.hpp"

namespace updater {

/// What a valid signature of the update says.
struct Verdict {
    std::optional<std::string>
        problem;  ///< why the update may not be installed; std::nullopt when it may
    std::optional<Manifest> manifest;  ///< the signed manifest, when the signature carries one
};

/// Judges the update whose digest (128 hexadecimal characters) is `digest`.
/// In a build with signing keys, /mnt/usb/kestran.fir.sig must be a small
/// regular file holding a signify signature by one of them, by the key whose
/// key number it names: either a detached signature of the digest followed
/// by a newline, or an embedded signature of a manifest whose sha512 is
/// `digest` and whose size is that of /mnt/usb/kestran.fir (the manifest is
/// then returned). Otherwise the problem is a whole reason line ("no
/// signature: ..." or "bad signature in ...: ..."), and nothing is said on
/// standard error. The signature file is read only once it is known to be a
/// regular file, so a FIFO or a device there cannot hold the run up. In a
/// build without a key: no problem, no manifest, and nothing is read.
Verdict check_signature(const std::string& digest);

}  // namespace updater
