// How the update is put in place: by copies (install_copy.cpp, the default)
// or by renames (install_rename.cpp), and the steps both share. For the
// installation's sources only.
#pragma once

#include <optional>
#include <string>

#include "policy.hpp"

namespace updater {

/// Puts the update file, of digest `update_digest`, in place as the current
/// image as `plan` says (its action is install_keeping_current, keeping the
/// current image of digest `current_digest` as the fallback image, or
/// install_without_fallback), mending the floor once the old fallback image
/// is gone where the plan says so. Returns true when the update is the
/// current image, checked on the medium, with the install marker still on
/// storage; otherwise says why, and the partition holds a whole image to
/// boot where kestran-boot-image looks. Runs no command once a stop is
/// requested.
bool place_update(const Plan& plan, const std::optional<std::string>& current_digest,
                  const std::string& update_digest);

/// Runs the copy `command`, flushes its target `image` and reads it back from
/// the medium; true when all of that succeeded and the image read back has
/// the digest `digest`, otherwise says why.
bool copy_durably(const char* command, const char* image, const std::string& digest);

/// Raises the version floor to the plan's floor, the recorded version of the
/// confirmed current image; true when it is on storage (or there is none).
bool mend_floor(const Plan& plan);

/// Removes the old fallback image and a stale copy of it, durably, then
/// mends the floor where the plan says so; true when all that is on storage.
/// The current image is whole meanwhile.
bool remove_old_fallback(const Plan& plan);

/// Puts the install marker on storage, removes the current image and copies
/// the update file, of digest `update_digest`, into its place as a new file,
/// flushed and checked on the medium: true when all that succeeded,
/// otherwise says why (the marker stays).
bool install_over_current(const std::string& update_digest);

}  // namespace updater
