// The process's own state, and requests to stop a run.
#pragma once

#include <signal.h>

namespace updater {

/// The signals that ask a run to stop: SIGTERM, SIGHUP, SIGINT and SIGQUIT.
sigset_t stop_signals();

/// Sets up what the tool relies on, whatever its parent left it: file
/// descriptors 0, 1 and 2 open (on /dev/null where they were closed, so the
/// tool's own files never take them); SIGCHLD at its default action, so
/// commands can be waited for; SIGPIPE ignored, so a vanished reader of the
/// progress lines cannot end a run midway; SIGTTOU and SIGTTIN ignored, so a
/// command writing to a terminal from its own process group is not stopped;
/// the stop signals blocked, so that they become requests (stop_requested)
/// the run answers at a safe point, except those ignored at start (as under
/// nohup), which stay ignored; and the process a child subreaper, so that
/// commands orphaned when a stop kills their shell are still its children
/// (where the kernel refuses, as under qemu's user-mode emulation, run_shell
/// waits for them otherwise). Call first in main.
void prepare_process();

/// The signals a command is to start with at their default action: all but
/// SIGTTOU, SIGTTIN and the stop signals the tool ignores.
sigset_t command_default_signals();

/// The stop signal that is pending, or 0 when none is. Stays set once a stop
/// was requested: the signal is never taken off the pending set.
int stop_requested();

/// The name of the stop signal `signal`, such as "SIGTERM".
const char* stop_signal_name(int signal);

/// Waits up to `milliseconds` for a stop request. Returns stop_requested().
int wait_for_stop(int milliseconds);

/// Waits until `fd` can take a short write, or a stop is requested. Returns
/// true when it can be written without waiting for ever.
bool writable_unless_stopped(int fd);

}  // namespace updater
