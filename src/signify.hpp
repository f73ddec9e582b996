// Signatures in the format of the signify tool: Ed25519 keys and signatures.
// A key file and a detached signature file are each two lines, a comment and
// the base64 of the algorithm ("Ed"), the key number and the key or
// signature; an embedded signature file has the signed message after them.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

/// What checking a signature file found.
struct SignatureCheck {
    std::optional<std::string> problem;  ///< why it is no valid signature; std::nullopt when it is
    std::optional<std::string> message;  ///< the signed message of a valid embedded signature
};

/// Checks `signature_file`, the whole contents of a signify signature file,
/// against `keys`: it must be made with the key among them whose key number
/// it names. A file of the two lines alone is a detached signature and must
/// sign `detached_message`; a file with more after them is an embedded
/// signature of that rest, whatever `detached_message` is. Returns the
/// problem as a phrase for a reason line, or no problem and, for an embedded
/// signature, the message it signs. Needs no random numbers and no library
/// initialisation.
SignatureCheck check_signature_file(std::string_view signature_file,
                                    std::string_view detached_message,
                                    const std::vector<SignifyPublicKey>& keys);

/// The key number `number` as 16 lower-case hexadecimal digits.
std::string key_number_hex(const std::array<unsigned char, key_number_size>& number);

}  // namespace updater
