// Rollback protection: a device takes no update older than the image it has
// confirmed. It keeps a version floor on the image partition; signed
// manifests name each update's version. A build without rollback protection
// takes any version, and writes neither file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "manifest.hpp"

namespace updater {

/// Returns std::nullopt when an update whose signed manifest is `manifest`
/// (std::nullopt: its signature carries none) is no downgrade; otherwise why
/// it is, as a reason line naming both versions. With rollback protection
/// the manifest must name a version at or above the floor: the number in
/// /mnt/imgpart/kestran_version_floor, raised to the version recorded for
/// the current image (/mnt/imgpart/kestran_current.version) when
/// `current_confirmed` (the image is whole and not on trial). A floor file
/// that does not read (not a regular file, or not one line holding a
/// version) counts as the current image's recorded version; a device with
/// neither has no floor and takes any version. Writes nothing. Without
/// rollback protection: always std::nullopt, and nothing is read.
std::optional<std::string> downgrade_problem(const std::optional<Manifest>& manifest,
                                             bool current_confirmed);

/// Why the tool may not write the version files, one reason line for each of
/// their paths that holds anything but a regular file; empty when it may.
/// Always empty without rollback protection.
std::vector<std::string> rollback_obstacles();

/// Records `manifest`'s version as the current image's, for the image just
/// put in place: durably (temporary file, flush, rename, directory flush), so
/// that a power cut leaves the old record or the new one. Returns true when
/// it is on storage; otherwise says why on standard error. Without rollback
/// protection (or a manifest without a version, which is never installed
/// there): true, and nothing is written.
bool record_current_version(const std::optional<Manifest>& manifest);

/// Raises the version floor to the current image's recorded version, for an
/// image now in place for good; a floor above it stays. Durable as
/// record_current_version. Returns true when the floor is on storage;
/// otherwise says why on standard error. Without rollback protection: true,
/// and nothing is written.
bool raise_version_floor();

}  // namespace updater
