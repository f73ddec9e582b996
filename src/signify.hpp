// Signatures in the format of the signify tool: Ed25519 keys and detached
// signatures, each a file of two lines, a comment and the base64 of the
// algorithm ("Ed"), the key number and the key or signature.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace updater {

/// Bytes in a key number: it names the key pair a signature was made with.
inline constexpr std::size_t key_number_size = 8;

/// A signify Ed25519 public key.
struct SignifyPublicKey {
    std::array<unsigned char, key_number_size> number{};
    std::array<unsigned char, 32> key{};
};

/// Returns the public key in `text`, the whole contents of a signify public
/// key file ("untrusted comment: ..." line, base64 line, each ending in a
/// newline, nothing else), or std::nullopt when it is not one.
std::optional<SignifyPublicKey> parse_public_key(std::string_view text);

/// Returns std::nullopt when `signature_file`, the whole contents of a
/// signify signature file (laid out as a public key file), is a signature of
/// `message` by `key`; otherwise why it is not, as a phrase for a reason
/// line. Needs no random numbers and no library initialisation.
std::optional<std::string> signature_problem(std::string_view signature_file,
                                             std::string_view message, const SignifyPublicKey& key);

/// The key number `number` as 16 lower-case hexadecimal digits.
std::string key_number_hex(const std::array<unsigned char, key_number_size>& number);

}  // namespace updater
