// Making written files durable.
#pragma once

namespace updater {

/// Flushes the file at `path` and then the directory `directory` that holds
/// its entry to storage (fsync of each), so both survive a power cut. Returns
/// true exactly when both were opened and flushed. Closes what it opened.
bool flush_to_storage(const char* path, const char* directory);

}  // namespace updater
