// Trial boots: a newly installed image is on trial until the system running
// it confirms it (kestran-boot-image --confirm); one that never does is
// rejected after a number of boots, and the device goes back to the fallback
// image. The tool's share: starting the trial, and never keeping an image on
// trial as the fallback image. A build without trial boots does neither.
#pragma once

namespace updater {

/// True when the current image has a trial state (on trial, or rejected):
/// it has not been confirmed, so it is no image to fall back to while there
/// is a fallback image. Always false in a build without trial boots.
bool current_image_on_trial();

/// True when the trial state's paths hold regular files or nothing, so the
/// tool may write there; otherwise says why on standard error. Always true
/// in a build without trial boots.
bool trial_state_writable();

/// Puts the trial state of a newly installed current image ("0": no boot
/// begun yet) on storage, replacing any earlier state, such that a power cut
/// leaves the old state or the new one: written to a temporary file, flushed,
/// renamed into place, the directory flushed. Returns true when it is on
/// storage; otherwise says why on standard error. In a build without trial
/// boots: true, and nothing is written.
bool begin_trial();

}  // namespace updater
