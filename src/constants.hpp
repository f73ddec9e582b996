// The tool's fixed locations, command lines and messages. Nothing here is
// read from the command line, the environment or a file.
#pragma once

namespace updater {

/// The firmware file on the USB stick.
inline constexpr const char* update_file = "/mnt/usb/kestran.fir";
/// Where the USB stick is mounted: the update file must be on its file system.
inline constexpr const char* usb_directory = "/mnt/usb";
/// The signature of the update file, read by a build with a signing key.
inline constexpr const char* update_signature = "/mnt/usb/kestran.fir.sig";
/// The image the device boots now.
inline constexpr const char* current_image = "/mnt/imgpart/kestran_current.sqsh";
/// The previous image, kept to fall back to. Whole or absent: it is only ever
/// put there by a rename, once complete and checked.
inline constexpr const char* fallback_image = "/mnt/imgpart/kestran_fallback.sqsh";
/// The fallback image being copied, before it is renamed into place. Nothing
/// boots it, and nothing counts it as an image.
inline constexpr const char* fallback_image_new = "/mnt/imgpart/kestran_fallback.sqsh.new";
/// With installs by rename: the update being written, before it is renamed
/// into place as the current image. Nothing boots it, and nothing counts it
/// as an image.
inline constexpr const char* current_image_new = "/mnt/imgpart/kestran_current.sqsh.new";
/// The directory that holds both images.
inline constexpr const char* image_directory = "/mnt/imgpart";
/// Present while the current image is being overwritten: a current image
/// found with it may be incomplete.
inline constexpr const char* install_marker = "/mnt/imgpart/kestran_install.incomplete";
/// In a build with trial boots: the trial state of the current image, a
/// line holding the number of boots begun on trial, or "rejected".
inline constexpr const char* trial_state = "/mnt/imgpart/kestran_trial";
/// The trial state being written, before it is renamed into place.
inline constexpr const char* trial_state_new = "/mnt/imgpart/kestran_trial.new";

/// With the event log: what happened on this device, one line per event.
inline constexpr const char* event_log = "/mnt/imgpart/kestran_events.log";
/// The event log being written anew (its newer half), before it is renamed
/// into place.
inline constexpr const char* event_log_new = "/mnt/imgpart/kestran_events.log.new";

/// Where the loop devices are, to tell whether an image is mounted.
inline constexpr const char* device_directory = "/dev";

/// With rollback protection: the lowest version the device takes, a line
/// holding a decimal number.
inline constexpr const char* version_floor = "/mnt/imgpart/kestran_version_floor";
/// The version floor being written, before it is renamed into place.
inline constexpr const char* version_floor_new = "/mnt/imgpart/kestran_version_floor.new";
/// With rollback protection: the version of the current image, as its
/// signed manifest named it when the tool installed it.
inline constexpr const char* current_version = "/mnt/imgpart/kestran_current.version";
/// The current image's version being written, before it is renamed into place.
inline constexpr const char* current_version_new = "/mnt/imgpart/kestran_current.version.new";

/// The checksum command, by absolute path, with the space before its operand.
inline constexpr const char* checksum_command = "/bin/sha512sum ";
/// Copies the current image to the fallback image's temporary name.
inline constexpr const char* keep_fallback_command =
    "cp /mnt/imgpart/kestran_current.sqsh /mnt/imgpart/kestran_fallback.sqsh.new";
/// Installs the update file as the current image.
inline constexpr const char* install_command =
    "cp /mnt/usb/kestran.fir /mnt/imgpart/kestran_current.sqsh";
/// With installs by rename: writes the update file at the current image's
/// temporary name.
inline constexpr const char* install_new_command =
    "cp /mnt/usb/kestran.fir /mnt/imgpart/kestran_current.sqsh.new";
/// Puts the fallback image kept in this run back as the current image.
inline constexpr const char* restore_command =
    "cp /mnt/imgpart/kestran_fallback.sqsh /mnt/imgpart/kestran_current.sqsh";

inline constexpr const char* message_found = "Firmware update found.";
inline constexpr const char* message_unreadable = "Firmware update could not be read.";
inline constexpr const char* message_rejected = "Firmware update rejected.";
inline constexpr const char* message_updating = "Updating Firmware.";
inline constexpr const char* message_copying = "Copying the new firmware.";
inline constexpr const char* message_complete = "Update complete.";
inline constexpr const char* message_failed = "Update failed.";

}  // namespace updater
