#include "signify.hpp"

#include <sodium.h>

#include <cstring>
#include <vector>

namespace updater {
namespace {

constexpr std::string_view comment_start = "untrusted comment: ";
/// The algorithm bytes that open every Ed25519 key and signature.
constexpr std::string_view ed25519_algorithm = "Ed";
/// Longest comment signify accepts on the first line.
constexpr std::size_t comment_limit = 1024;

/// Decodes the base64 line of the signify file `text` into `bytes`, which
/// must come out exactly full and open with the Ed25519 algorithm bytes.
/// Returns std::nullopt on success, otherwise why it did not.
std::optional<std::string> decode_signify_file(std::string_view text,
                                               std::vector<unsigned char>& bytes) {
    if (text.empty()) {
        return "it is empty";
    }
    const std::size_t first_end = text.find('\n');
    if (text.substr(0, comment_start.size()) != comment_start ||
        first_end == std::string_view::npos || first_end > comment_start.size() + comment_limit) {
        return "its first line is not an untrusted comment";
    }
    std::string_view line = text.substr(first_end + 1);
    if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) {
        return "it is not two lines, each ending in a newline";
    }
    line.remove_suffix(1);
    std::size_t length = 0;
    const char* end = nullptr;
    if (sodium_base642bin(bytes.data(), bytes.size(), line.data(), line.size(), nullptr, &length,
                          &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != line.data() + line.size() || length != bytes.size()) {
        return "its second line is not the base64 of " + std::to_string(bytes.size()) + " bytes";
    }
    if (std::memcmp(bytes.data(), ed25519_algorithm.data(), ed25519_algorithm.size()) != 0) {
        return "it is not for Ed25519";
    }
    return std::nullopt;
}

}  // namespace

std::optional<SignifyPublicKey> parse_public_key(std::string_view text) {
    SignifyPublicKey key;
    std::vector<unsigned char> bytes(ed25519_algorithm.size() + key.number.size() + key.key.size());
    if (decode_signify_file(text, bytes)) {
        return std::nullopt;
    }
    const unsigned char* at = bytes.data() + ed25519_algorithm.size();
    std::memcpy(key.number.data(), at, key.number.size());
    std::memcpy(key.key.data(), at + key.number.size(), key.key.size());
    return key;
}

std::optional<std::string> signature_problem(std::string_view signature_file,
                                             std::string_view message,
                                             const SignifyPublicKey& key) {
    std::array<unsigned char, key_number_size> number;
    std::array<unsigned char, crypto_sign_BYTES> signature;
    std::vector<unsigned char> bytes(ed25519_algorithm.size() + number.size() + signature.size());
    if (std::optional<std::string> problem = decode_signify_file(signature_file, bytes)) {
        return "not a signify signature: " + *problem;
    }
    const unsigned char* at = bytes.data() + ed25519_algorithm.size();
    std::memcpy(number.data(), at, number.size());
    std::memcpy(signature.data(), at + number.size(), signature.size());
    if (number != key.number) {
        return "made with key " + key_number_hex(number) + ", not with the trusted key " +
               key_number_hex(key.number);
    }
    if (crypto_sign_verify_detached(signature.data(),
                                    reinterpret_cast<const unsigned char*>(message.data()),
                                    message.size(), key.key.data()) != 0) {
        return "it does not verify for this update";
    }
    return std::nullopt;
}

std::string key_number_hex(const std::array<unsigned char, key_number_size>& number) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (const unsigned char byte : number) {
        hex += digits[byte >> 4];
        hex += digits[byte & 0x0f];
    }
    return hex;
}

}  // namespace updater
