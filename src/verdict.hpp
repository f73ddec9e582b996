// The judgement of a signature file, apart from reading it: what a build with
// signing keys decides from the file's contents, the update's digest and its
// size.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "authenticity.hpp"
#include "signify.hpp"

namespace updater {

/// Judges `signature_file`, the whole contents of an update's signature
/// file, for the update of digest `digest` (128 hexadecimal characters) and
/// `update_size` bytes, trusting `keys`. A detached signature must sign the
/// digest and a newline; an embedded one must sign a manifest naming that
/// digest and that size, and the verdict then carries the manifest.
/// Otherwise the problem is a phrase for a reason line. Pure.
Verdict signature_verdict(std::string_view signature_file, std::string_view digest,
                          std::uint64_t update_size, const std::vector<SignifyPublicKey>& keys);

}  // namespace updater
