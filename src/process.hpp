// The process's own state, and requests to stop a run.
#pragma once

#include <signal.h>

namespace updater {

/// The signals that ask a run to stop: SIGTERM, SIGHUP and SIGINT.
sigset_t stop_signals();

/// Sets up what the tool relies on, whatever its parent left it: file
/// descriptors 0, 1 and 2 open (on /dev/null where they were closed, so the
/// tool's own files never take them); SIGCHLD at its default action, so
/// commands can be waited for; SIGPIPE ignored, so a vanished reader of the
/// progress lines cannot end a run midway; the stop signals blocked, so that
/// they become requests (stop_requested) the run answers at a safe point; and
/// the process a child subreaper, so that commands orphaned when a stop kills
/// their shell are still its children to wait for. Call first in main.
void prepare_process();

/// The stop signal that is pending, or 0 when none is. Stays set once a stop
/// was requested: the signal is never taken off the pending set.
int stop_requested();

/// Waits up to `milliseconds` for a stop request. Returns stop_requested().
int wait_for_stop(int milliseconds);

}  // namespace updater
