// The manifest an embedded signature may sign: what the update is, in lines
// of a name, a space and a value, in this order, each at most once:
//     sha512 <the update's SHA-512 digest, 128 lower-case hexadecimal digits>
//     size <the update's size in bytes, decimal>
//     version <a number from 0 to 9223372036854775807, decimal>   (optional)
//     compatible <1 to 64 of A-Z a-z 0-9 . _ + ->                    (optional)
// Numbers have no leading zeros; every line ends in a newline; nothing else
// may be there (no other names, no blank lines, no carriage returns).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace updater {

/// Largest version a manifest may name (that of a signed 64-bit integer).
inline constexpr std::uint64_t manifest_version_limit = 9223372036854775807u;
/// Longest compatible string a manifest may name.
inline constexpr std::size_t manifest_compatible_limit = 64;

/// What a signed manifest says of an update.
struct Manifest {
    std::string digest;                     ///< 128 lower-case hexadecimal digits
    std::uint64_t size = 0;                 ///< bytes
    std::optional<std::uint64_t> version;   ///< at most manifest_version_limit
    std::optional<std::string> compatible;  ///< 1 to 64 of A-Z a-z 0-9 . _ + -
};

/// The version that `text` writes in full: decimal, no leading zeros, at
/// most manifest_version_limit; otherwise std::nullopt. Pure.
std::optional<std::uint64_t> parse_version(std::string_view text);

/// Returns the manifest that `text` is in full, or why it is not one, as a
/// phrase for a reason line ("its size line ..."). Pure.
std::variant<Manifest, std::string> parse_manifest(std::string_view text);

}  // namespace updater
