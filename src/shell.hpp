// Running commands through the system shell.
#pragma once

#include <string>
#include <string_view>

namespace updater {

/// Returns `word` written so that the POSIX shell reads it back as exactly
/// `word`, one argument, with no expansion. A word made only of characters
/// the shell never interprets is returned unchanged. `word` holds no NUL.
std::string shell_quote(std::string_view word);

/// How a command run through the shell ended.
struct CommandResult {
    bool started = false;  ///< the shell was started
    bool stopped = false;  ///< a stop request killed it, or kept it from starting
    int wait_status = -1;  ///< the shell's wait status; -1 when there is none
    std::string output;    ///< its standard output, when captured
};

/// Runs `command` as "/bin/sh -c command" in a process group of its own, with
/// no signal blocked and command_default_signals at their defaults, and
/// waits for it. With `capture_output`, its standard output is read through a
/// pipe, to the end, into the result; otherwise it is the tool's own.
/// Standard error is the tool's own.
///
/// Guarantees: nothing is started when a stop is already requested; on a stop
/// request while it runs, its whole process group is killed and everything
/// of it that is the tool's child (all of it, once prepare_process has made
/// the tool a subreaper) is waited for before the call returns. Every
/// descriptor it opens is closed. Says on standard error when the shell could
/// not be started or was killed by a signal other than through a stop.
CommandResult run_shell(const std::string& command, bool capture_output);

/// True when `result` is of a command that ran and exited with status 0.
bool succeeded(const CommandResult& result);

/// Runs `command` as run_shell does, output not captured. Returns true
/// exactly when it ran and exited with status 0.
bool run_command(const char* command);

}  // namespace updater
