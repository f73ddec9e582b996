// The signing keys a build with signed updates trusts, generated from the key
// files it was built with (src/signing_key.cpp.in).
#pragma once

#include <vector>

#include "signify.hpp"

namespace updater {

/// The public keys whose signatures this build accepts: 1 to 8 keys, each
/// with a key number of its own.
std::vector<SignifyPublicKey> trusted_keys();

}  // namespace updater
