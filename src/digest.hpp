// SHA-512 digests of files, taken by the platform's checksum command.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace updater {

/// Number of hexadecimal characters in a SHA-512 digest.
inline constexpr std::size_t digest_length = 128;

/// Returns the digest at the start of one output line of the checksum
/// command: the line's first 128 characters when they are hexadecimal digits
/// followed by a space (after the single backslash the command puts first
/// when it had to escape the file name), otherwise std::nullopt.
std::optional<std::string> parse_digest_line(std::string_view line);

/// Runs "/bin/sha512sum " with `path` as its one operand (quoted for the
/// shell where needed) and returns the file's digest as 128 hexadecimal
/// characters, with no file name. Returns std::nullopt when the command could
/// not be started, exited non-zero, printed no digest line, or `path` is
/// empty or holds a NUL. Waits for the command on every path.
std::optional<std::string> _get_shasum(std::string_view path);

}  // namespace updater
