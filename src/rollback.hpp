// Rollback protection: a device takes no update older than the image it has
// confirmed. It keeps a version floor on the image partition; signed
// manifests name each update's version. A build without rollback protection
// takes any version, and reads and writes neither file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "policy.hpp"

namespace updater {

/// True in a build with rollback protection.
bool rollback_protected();

/// What the version file at `path` (the floor, or the current image's
/// recorded version) holds: absent, present but not one line holding a
/// version (not a regular file, odd bytes), or a version. Reads at most a
/// few bytes, without waiting on a FIFO. Without rollback protection: absent,
/// and nothing is read.
VersionFile read_version_file(const char* path);

/// Why the tool may not write the version files, one reason line for each of
/// their paths that holds anything but a regular file; empty when it may.
/// Always empty without rollback protection.
std::vector<std::string> rollback_obstacles();

/// Records `version` as the current image's, for the image just put in
/// place: durably (a new temporary file, flushed, renamed, the directory
/// flushed), so that a power cut leaves the old record or the new one.
/// Returns true when it is on storage; otherwise says why on standard error.
/// Without rollback protection: true, and nothing is written.
bool record_current_version(std::uint64_t version);

/// Writes `version` as the version floor, durably as record_current_version.
/// Returns true when it is on storage; otherwise says why on standard error.
/// Without rollback protection: true, and nothing is written.
bool write_version_floor(std::uint64_t version);

}  // namespace updater
