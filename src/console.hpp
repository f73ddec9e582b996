// Progress lines on standard output, reasons on standard error.
#pragma once

#include <string>

namespace updater {

/// Writes `line` and a newline to standard output and flushes it, so the line
/// is out before whatever the caller starts next, also when standard output is
/// a pipe or a file. Drops the line rather than wait for ever on a stalled
/// reader once a stop is requested.
void say(const char* line);

/// Writes "init-updater: ", `reason` and a newline to standard error: why a
/// step failed, for the line on standard output that follows. Drops it as say
/// does.
void warn(const std::string& reason);

/// As warn, with ": " and the system's text for `error` (an errno value)
/// after `reason`.
void warn_error(const std::string& reason, int error);

}  // namespace updater
