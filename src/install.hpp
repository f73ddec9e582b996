// Installing the update file as the current image.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "manifest.hpp"

namespace updater {

/// Writes "Copying the new firmware.", then, when `fallback_digest` holds the
/// current image's digest, keeps the current image as the fallback image:
/// removes the old fallback image (so no more room is needed than for one
/// copy), copies the current image to kestran_fallback.sqsh.new, flushes it,
/// checks that it reads back from the medium with that digest and renames it
/// into place; a copy that fails or is stopped is removed again. Then copies
/// the update file over the current image, flushes it and checks that it
/// reads back from the medium as `update_digest`. With rollback protection,
/// a version floor below the recorded version of a current image that is
/// whole and confirmed is first raised to it. Returns true exactly when the
/// update file is installed, checked and on storage. Runs no command once a
/// stop is requested (the partition is then as the install marker says).
///
/// Guarantees: the fallback image is whole or absent at every moment, a
/// power cut included (a partial copy only ever stands at the temporary
/// name); the current image is not touched unless the fallback image of
/// this run (when one is kept) is complete, checked and on storage; without
/// `fallback_digest` the fallback image is never written; when the install
/// copy fails or does not read back as `update_digest` after a fallback image
/// was kept, that image is copied back over the current image, flushed and
/// checked before the call returns false. While the current image may be
/// incomplete, the install marker is on storage, so a later run knows
/// (install_interrupted) not to keep that image as the fallback, and the
/// device boots the fallback image meanwhile. It returns true only once the
/// marker's removal is on storage, and, with trial boots, after the new
/// image's trial state (begin_trial). With rollback protection, the new
/// image's version (from `manifest`, its signed manifest) is recorded before
/// the marker goes, and without trial boots the version floor is raised to it
/// once the marker is gone (a floor that cannot be raised is said on standard
/// error, and the next run counts the recorded version all the same). No
/// image is opened for writing but by the copy commands.
bool update_firmware(const std::optional<std::string>& fallback_digest,
                     const std::string& update_digest, const std::optional<Manifest>& manifest);

/// What stands in the way of an installation, one reason line each; empty
/// when it can go ahead: each entry it writes (the current image, the
/// fallback image and its temporary name, the install marker, the trial
/// state) is a regular file or absent, and the update file is neither image
/// itself (through a link). The tool writes only regular files, and never
/// the file it installs from. Writes nothing.
std::vector<std::string> install_obstacles();

/// Why the images cannot be written now, one reason line each; empty when
/// they can: the current image or the fallback image backs a loop device
/// (the running system may be mounted from it). Writes nothing.
std::vector<std::string> images_in_use();

/// True when an earlier installation was cut off (power cut, kill) or failed
/// without a restore, so the current image may be incomplete.
bool install_interrupted();

/// Records that the current image is complete after all (it matches the
/// update file, whose signed manifest is `manifest`): records its version
/// (rollback protection), with trial boots begins its trial, then removes the
/// install marker and, without trial boots, raises the version floor. Returns true when that is on
/// storage; otherwise says why on standard error (also when the trial state cannot be written).
bool finish_interrupted_install(const std::optional<Manifest>& manifest);

}  // namespace updater
