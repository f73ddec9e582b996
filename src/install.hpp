// Installing the update file as the current image.
#pragma once

#include <optional>
#include <string>

namespace updater {

/// Writes "Copying the new firmware.", then, when `fallback_digest` holds the
/// current image's digest, copies the current image to the fallback image,
/// flushes it and checks that the fallback image read back from the medium
/// has that digest; then copies the update file over the current image,
/// flushes it and checks that it reads back from the medium as
/// `update_digest`. Returns true exactly when the update file is installed,
/// checked and on storage. Runs no command once a stop is requested (the
/// partition is then as the install marker says).
///
/// Guarantees: the current image is not touched unless the fallback image of
/// this run (when one is kept) is complete, checked and on storage; without
/// `fallback_digest` the fallback image is never written; when the install
/// copy fails or does not read back as `update_digest` after a fallback image
/// was kept, that image is copied back over the current image, flushed and
/// checked before the call returns false. While the current image may be
/// incomplete, the install marker is on storage, so a later run knows
/// (install_interrupted) not to keep that image as the fallback, and the
/// device boots the fallback image meanwhile. It returns true only once the
/// marker's removal is on storage, and, with trial boots, after the new
/// image's trial state (begin_trial). No image is opened for writing but by the
/// copy commands.
bool update_firmware(const std::optional<std::string>& fallback_digest,
                     const std::string& update_digest);

/// True when an installation can go ahead: each entry it writes (the current
/// image, the fallback image, the install marker, the trial state) is a regular file or
/// absent, and the update file is neither image itself (through a link).
/// Otherwise says on standard error what stands in the way: the tool writes
/// only regular files, and never the file it installs from.
bool ready_to_install();

/// True when an earlier installation was cut off (power cut, kill) or failed
/// without a restore, so the current image may be incomplete.
bool install_interrupted();

/// Records that the current image is complete after all (it matches the
/// update file): with trial boots, begins its trial; then removes the install
/// marker. Returns true when that is on storage; otherwise says why on
/// standard error.
bool finish_interrupted_install();

}  // namespace updater
