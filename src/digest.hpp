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
/// not be started, was stopped, exited non-zero, or printed no digest line.
///
/// Only a non-empty regular file (symbolic links followed) has a digest: for
/// anything else (missing, a FIFO, a device, a socket, a directory, a
/// dangling link or a link loop, an empty file, an empty path or one holding
/// a NUL) it returns std::nullopt without starting the command, which could
/// wait for ever on such a file. Says why on standard error whenever the
/// checksum command did not; waits for the command on every path.
std::optional<std::string> _get_shasum(std::string_view path);

}  // namespace updater
