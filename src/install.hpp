// Installing the update file as the current image.
#pragma once

namespace updater {

/// Whether the current image is to be kept as the fallback image first.
enum class Fallback {
    keep,  ///< the current image is readable: keep it as the fallback image
    skip,  ///< there is no readable current image: leave the fallback image alone
};

/// Writes "Copying the new firmware.", then, with Fallback::keep, copies the
/// current image to the fallback image and flushes it; then copies the update
/// file over the current image and flushes it. Returns true exactly when the
/// update file is installed and on storage. Runs no command once a stop is
/// requested (the partition is then as the install marker says).
///
/// Guarantees: the current image is not touched unless the fallback image of
/// this run (with Fallback::keep) is complete and on storage; with
/// Fallback::skip the fallback image is never written; when the install copy
/// fails after a fallback image was kept, that image is copied back over the
/// current image and flushed before the call returns false. While the current
/// image may be incomplete, the install marker is on storage, so a later run
/// knows (install_interrupted) not to keep that image as the fallback, and
/// the device boots the fallback image meanwhile. It returns true only once
/// the marker's removal is on storage.
bool update_firmware(Fallback fallback);

/// True when an installation can go ahead: each entry it writes (the current
/// image, the fallback image, the install marker) is a regular file or
/// absent, and the update file is neither image itself (through a link).
/// Otherwise says on standard error what stands in the way: the tool writes
/// only regular files, and never the file it installs from.
bool ready_to_install();

/// True when an earlier installation was cut off (power cut, kill) or failed
/// without a restore, so the current image may be incomplete.
bool install_interrupted();

/// Records that the current image is complete after all (it matches the
/// update file): removes the install marker. Returns true when that is on
/// storage; otherwise says why on standard error.
bool finish_interrupted_install();

}  // namespace updater
