// Making written files durable.
#pragma once

namespace updater {

/// Flushes the file at `path` and then the directory `directory` that holds
/// its entry to storage (fsync of each), so both survive a power cut. Returns
/// true exactly when both were opened and flushed. Closes what it opened.
bool flush_to_storage(const char* path, const char* directory);

/// Creates the empty file `path` in `directory` (an existing file is kept)
/// and flushes both. Returns true exactly when the file exists on storage.
bool create_durably(const char* path, const char* directory);

/// Removes the file `path` from `directory`, if it is there, and flushes the
/// directory. Returns true exactly when the removal is on storage.
bool remove_durably(const char* path, const char* directory);

/// True when anything exists at `path`.
bool exists(const char* path);

}  // namespace updater
