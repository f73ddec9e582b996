// Trial boots: a newly installed image is on trial until the system running
// it confirms it (kestran-boot-image --confirm); one that never does is
// rejected after a number of boots, and the device goes back to the fallback
// image. The tool's share: starting the trial, and never keeping an image on
// trial as the fallback image. A build without trial boots does neither.
#pragma once

#include <string>
#include <vector>

namespace updater {

/// True when the current image has a trial state (on trial, or rejected):
/// it has not been confirmed, so it is no image to fall back to while there
/// is a fallback image. Always false in a build without trial boots.
bool current_image_on_trial();

/// Why the tool may not write the trial state, one reason line for each of
/// its paths that holds anything but a regular file; empty when it may.
/// Always empty in a build without trial boots.
std::vector<std::string> trial_state_obstacles();

/// True in a build with trial boots: a newly installed image is in place for
/// good only once the running system confirms it. Without, it is so once its
/// install marker is gone.
bool has_trial_boots();

/// Puts the trial state of a newly installed current image ("0": no boot
/// begun yet) on storage, replacing any earlier state, such that a power cut
/// leaves the old state or the new one: written to a temporary file, flushed,
/// renamed into place, the directory flushed. Returns true when it is on
/// storage; otherwise says why on standard error. In a build without trial
/// boots: true, and nothing is written.
bool begin_trial();

}  // namespace updater
