// Installing the update file as the current image: the mechanism that
// carries out a plan of decide, and the facts of the partition it needs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "policy.hpp"

namespace updater {

/// Carries out `plan`, whose action is install_keeping_current or
/// install_without_fallback, for the update of digest `update_digest` and
/// signed version `version` (if any) over the current image of digest
/// `current_digest`. Writes "Copying the new firmware.", raises the version
/// floor to `plan.floor` where the plan mends it (first, or once the old
/// fallback image is gone), puts the update in place as the build does it,
/// then as finish_interrupted_install does. Returns true exactly when the
/// update file is installed, checked on the medium and on storage. Runs no
/// command once a stop is requested (the partition is then as the install
/// marker says).
///
/// By copies (the default): with install_keeping_current removes the old
/// fallback image and any stale copy of it (so no more room is needed than
/// for one copy), copies the current image to kestran_fallback.sqsh.new,
/// flushes it, checks that it reads back from the medium with
/// `current_digest` and renames it into place (a copy that fails or is
/// stopped is removed again); puts the install marker on storage, removes
/// the current image (so that no other name of it is written through),
/// copies the update file into place, flushes it and checks that it reads
/// back as `update_digest`; when that fails after a fallback image was kept,
/// copies that image back, flushed and checked.
///
/// By renames: with install_keeping_current removes the old fallback image,
/// writes the update once, to kestran_current.sqsh.new, flushed and checked
/// on the medium (removed again when that fails: the current image is
/// untouched), renames the current image to the fallback image, puts the
/// install marker on storage and renames the new image into place; the
/// installed image is neither copied nor read back. Without keeping, as by
/// copies.
///
/// Guarantees, both ways: the fallback image is whole or absent at every
/// moment, a power cut included (a partial copy only ever stands at a
/// temporary name); without install_keeping_current the fallback image is
/// never written; at every moment kestran-boot-image finds a whole image,
/// the previous or the new one; while the current image may be incomplete
/// or not yet on trial, the install marker is on storage, so a later run
/// knows (install_interrupted) not to keep that image as the fallback, and
/// the device boots the fallback image meanwhile. No image is opened for
/// writing but by the copy commands.
bool update_firmware(const Plan& plan, const std::optional<std::string>& current_digest,
                     const std::string& update_digest, std::optional<std::uint64_t> version);

/// Puts the complete current image, of signed version `version` (if any), in
/// place as `plan` says: records its version, begins its trial, removes the
/// install marker, then raises the version floor to its version (a floor that
/// cannot be raised is said on standard error and does not fail the call:
/// the next run mends it). Returns true when the image is in place on
/// storage; otherwise says why on standard error.
bool finish_interrupted_install(const Plan& plan, std::optional<std::uint64_t> version);

/// What stands in the way of an installation, one reason line each; empty
/// when it can go ahead: each entry it writes (the current image, the
/// fallback image and its temporary name, the install marker, the trial
/// state, the version files) is a regular file or absent, and the update
/// file is neither image itself (through a link), nor are the two images one
/// file. The tool writes only regular files, and never the file it installs
/// from. Writes nothing.
std::vector<std::string> install_obstacles();

/// Why the images cannot be written now, one reason line each; empty when
/// they can: the current image or the fallback image backs a loop device
/// (the running system may be mounted from it). Writes nothing.
std::vector<std::string> images_in_use();

/// True when an earlier installation was cut off (power cut, kill) or failed
/// without a restore, so the current image may be incomplete.
bool install_interrupted();

/// True in a build that installs by renames (the update written once, at a
/// temporary name, the current image renamed to the fallback image); false
/// in one that installs by copies.
bool installs_by_rename();

/// The room on the image partition and what an installation of the update
/// file takes of it. A partition that cannot be asked counts as roomy: the
/// copies then find out. Writes nothing.
Room measure_room();

}  // namespace updater
