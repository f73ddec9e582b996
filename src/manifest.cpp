#include "manifest.hpp"

#include <limits>

namespace updater {
namespace {

/// Hexadecimal digits in a SHA-512 digest.
constexpr std::size_t manifest_digest_length = 128;

/// When `text` begins with a line "`name` VALUE\n", takes that line off
/// `text` and returns VALUE; otherwise leaves `text` alone and returns
/// std::nullopt.
std::optional<std::string_view> take_line(std::string_view& text, std::string_view name) {
    const std::size_t end = text.find('\n');
    if (end == std::string_view::npos || end <= name.size() ||
        text.substr(0, name.size()) != name || text[name.size()] != ' ') {
        return std::nullopt;
    }
    const std::string_view value = text.substr(name.size() + 1, end - name.size() - 1);
    text.remove_prefix(end + 1);
    return value;
}

/// The number `text` writes in decimal without leading zeros, when it is at
/// most `limit`; otherwise std::nullopt.
std::optional<std::uint64_t> parse_decimal(std::string_view text, std::uint64_t limit) {
    if (text.empty() || (text.size() > 1 && text.front() == '0')) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (limit - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

bool is_lower_hex(std::string_view text) {
    for (const char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

bool is_compatible_char(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '+' || c == '-';
}

}  // namespace

std::optional<std::uint64_t> parse_version(std::string_view text) {
    return parse_decimal(text, manifest_version_limit);
}

std::variant<Manifest, std::string> parse_manifest(std::string_view text) {
    if (text.empty()) {
        return "it is empty";
    }
    if (text.back() != '\n') {
        return "its last line does not end in a newline";
    }
    Manifest manifest;
    const std::optional<std::string_view> digest = take_line(text, "sha512");
    if (!digest) {
        return "its first line is not a sha512 line";
    }
    if (digest->size() != manifest_digest_length || !is_lower_hex(*digest)) {
        return "its sha512 is not 128 lower-case hexadecimal digits";
    }
    manifest.digest = std::string(*digest);
    const std::optional<std::string_view> size = take_line(text, "size");
    if (!size) {
        return "its second line is not a size line";
    }
    const std::optional<std::uint64_t> bytes =
        parse_decimal(*size, std::numeric_limits<std::uint64_t>::max());
    if (!bytes) {
        return "its size is not a number of bytes in decimal without leading zeros";
    }
    manifest.size = *bytes;
    if (const std::optional<std::string_view> version = take_line(text, "version")) {
        manifest.version = parse_decimal(*version, manifest_version_limit);
        if (!manifest.version) {
            return "its version is not a number from 0 to 9223372036854775807 in decimal without "
                   "leading zeros";
        }
    }
    if (const std::optional<std::string_view> compatible = take_line(text, "compatible")) {
        bool valid = !compatible->empty() && compatible->size() <= manifest_compatible_limit;
        for (const char c : *compatible) {
            valid = valid && is_compatible_char(c);
        }
        if (!valid) {
            return "its compatible is not 1 to 64 of A-Z a-z 0-9 . _ + -";
        }
        manifest.compatible = std::string(*compatible);
    }
    if (!text.empty()) {
        return "it has a line other than sha512, size, version and compatible, in that order, "
               "each once";
    }
    return manifest;
}

}  // namespace updater
