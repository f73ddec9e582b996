// Running commands through the system shell.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace updater {

/// Returns `word` written so that the POSIX shell reads it back as exactly
/// `word`, one argument, with no expansion. A word made only of characters
/// the shell never interprets is returned unchanged. `word` holds no NUL.
std::string shell_quote(std::string_view word);

/// Runs `command` through /bin/sh and waits for it to end. Returns true
/// exactly when the command ran and exited with status 0. Its standard
/// output and standard error are the tool's own.
bool run_command(const char* command);

/// Runs `command` through /bin/sh with a pipe from its standard output, reads
/// all of that output and waits for the command to end. Returns the first
/// line of the output without its newline, or std::nullopt when the command
/// could not be started, printed nothing, or did not exit with status 0.
/// Standard error is not redirected. The pipe is closed on every path.
std::optional<std::string> first_output_line(const std::string& command);

}  // namespace updater
