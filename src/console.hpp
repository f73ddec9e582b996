// Progress lines on standard output.
#pragma once

namespace updater {

/// Writes `line` and a newline to standard output and flushes it, so the line
/// is out before whatever the caller starts next, also when standard output is
/// a pipe or a file.
void say(const char* line);

}  // namespace updater
