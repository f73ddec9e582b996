#include "signify.hpp"

#include <sodium.h>

#include <cstring>

namespace updater {
namespace {

constexpr std::string_view comment_start = "untrusted comment: ";
/// The algorithm bytes that open every Ed25519 key and signature.
constexpr std::string_view ed25519_algorithm = "Ed";
/// Longest comment signify accepts on the first line.
constexpr std::size_t comment_limit = 1024;

/// True when `c` is one of the 64 digits of base64 (not its padding).
bool is_base64_digit(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

/// True when `line` is laid out as the padded base64 of `size` bytes: the
/// length that takes, base64 digits throughout, and '=' exactly in the
/// padding positions at its end. Checked before decoding, since the decoder
/// takes bytes outside the alphabet for digits on some hosts.
bool is_base64_layout(std::string_view line, std::size_t size) {
    const std::size_t padding = (3 - size % 3) % 3;
    if (line.size() != (size + 2) / 3 * 4) {
        return false;
    }
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (i < line.size() - padding ? !is_base64_digit(line[i]) : line[i] != '=') {
            return false;
        }
    }
    return true;
}

/// Takes the first two lines of the signify file `text`: checks the comment
/// line, decodes the base64 line into `bytes`, which must come out exactly
/// full and open with the Ed25519 algorithm bytes, and sets `rest` to what
/// follows the base64 line. Returns std::nullopt on success, otherwise why
/// the file is not one (and `bytes` and `rest` are then unspecified).
std::optional<std::string> signify_file_problem(std::string_view text,
                                                std::vector<unsigned char>& bytes,
                                                std::string_view& rest) {
    if (text.empty()) {
        return "it is empty";
    }
    const std::size_t first_end = text.find('\n');
    if (text.substr(0, comment_start.size()) != comment_start ||
        first_end == std::string_view::npos || first_end > comment_start.size() + comment_limit) {
        return "its first line is not an untrusted comment";
    }
    std::string_view line = text.substr(first_end + 1);
    const std::size_t second_end = line.find('\n');
    if (second_end == std::string_view::npos) {
        return "it does not have two lines, each ending in a newline";
    }
    rest = line.substr(second_end + 1);
    line = line.substr(0, second_end);
    std::size_t length = 0;
    const char* end = nullptr;
    if (!is_base64_layout(line, bytes.size()) ||
        sodium_base642bin(bytes.data(), bytes.size(), line.data(), line.size(), nullptr, &length,
                          &end, sodium_base64_VARIANT_ORIGINAL) != 0 ||
        end != line.data() + line.size() || length != bytes.size()) {
        return "its second line is not the base64 of " + std::to_string(bytes.size()) + " bytes";
    }
    if (std::memcmp(bytes.data(), ed25519_algorithm.data(), ed25519_algorithm.size()) != 0) {
        return "it is not for Ed25519";
    }
    return std::nullopt;
}

/// The key numbers of `keys` for a reason line: "the trusted key N" for one
/// key, "one of the trusted keys N, M" for several.
std::string trusted_key_numbers(const std::vector<SignifyPublicKey>& keys) {
    if (keys.empty()) {
        return "a trusted key (there are none)";
    }
    std::string text = keys.size() == 1 ? "the trusted key " : "one of the trusted keys ";
    for (std::size_t i = 0; i < keys.size(); ++i) {
        text += (i == 0 ? "" : ", ") + key_number_hex(keys[i].number);
    }
    return text;
}

}  // namespace

std::optional<SignifyPublicKey> parse_public_key(std::string_view text) {
    SignifyPublicKey key;
    std::vector<unsigned char> bytes(ed25519_algorithm.size() + key.number.size() + key.key.size());
    std::string_view rest;
    if (signify_file_problem(text, bytes, rest) || !rest.empty()) {
        return std::nullopt;
    }
    const unsigned char* at = bytes.data() + ed25519_algorithm.size();
    std::memcpy(key.number.data(), at, key.number.size());
    std::memcpy(key.key.data(), at + key.number.size(), key.key.size());
    return key;
}

SignatureCheck check_signature_file(std::string_view signature_file,
                                    std::string_view detached_message,
                                    const std::vector<SignifyPublicKey>& keys) {
    std::array<unsigned char, key_number_size> number;
    std::array<unsigned char, crypto_sign_BYTES> signature;
    std::vector<unsigned char> bytes(ed25519_algorithm.size() + number.size() + signature.size());
    std::string_view embedded;
    if (std::optional<std::string> problem =
            signify_file_problem(signature_file, bytes, embedded)) {
        return {"not a signify signature: " + *problem, std::nullopt};
    }
    const unsigned char* at = bytes.data() + ed25519_algorithm.size();
    std::memcpy(number.data(), at, number.size());
    std::memcpy(signature.data(), at + number.size(), signature.size());
    const SignifyPublicKey* key = nullptr;
    for (const SignifyPublicKey& candidate : keys) {
        if (candidate.number == number) {
            key = &candidate;
            break;
        }
    }
    if (key == nullptr) {
        return {
            "made with key " + key_number_hex(number) + ", not with " + trusted_key_numbers(keys),
            std::nullopt};
    }
    const std::string_view message = embedded.empty() ? detached_message : embedded;
    if (crypto_sign_verify_detached(signature.data(),
                                    reinterpret_cast<const unsigned char*>(message.data()),
                                    message.size(), key->key.data()) != 0) {
        return {embedded.empty() ? "it does not verify for this update"
                                 : "it does not verify for the message it carries",
                std::nullopt};
    }
    if (embedded.empty()) {
        return {};
    }
    return {std::nullopt, std::string(embedded)};
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
