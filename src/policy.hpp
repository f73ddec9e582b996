// The decision of a run: what the tool does, given what it found on the
// stick and the image partition. Pure: it reads nothing and writes nothing,
// so every rule can be checked without a device.
#pragma once

#include <optional>
#include <string>

namespace updater {

/// What main finds before it decides.
struct Facts {
    /// The install marker is there: the current image may be incomplete.
    bool interrupted = false;
    /// The current image is a non-empty regular file (it may still not read).
    bool current_present = false;
    /// The current image's digest, when it read.
    std::optional<std::string> current_digest;
    /// The update file's digest, when it read.
    std::optional<std::string> update_digest;
    /// The update passes the build's image check (always, without one).
    bool update_is_image = true;
    /// A whole fallback image is there to boot.
    bool fallback_present = false;
    /// The current image has a trial state: it is not confirmed.
    bool current_on_trial = false;
    /// The update may be installed: its signature holds, in a signed build.
    bool authentic = true;
    /// The update is for this kind of device (a build with a compatible
    /// string checks its signed manifest).
    bool compatible = true;
    /// The update is no downgrade (a build with rollback protection checks
    /// its signed version against the device's version floor).
    bool no_downgrade = true;
    /// Every path the installation writes is a regular file or absent, the
    /// update file is not one of the images itself, and the two images are
    /// not one file.
    bool writable = true;
    /// An image on the partition backs a loop device: the system may run
    /// from it.
    bool image_in_use = false;
};

/// What a run does.
enum class Action {
    /// The update is what is installed: nothing is written.
    nothing,
    /// "Firmware update could not be read.": nothing is written.
    unreadable,
    /// "Firmware update rejected." (not authentic, for another device, or a
    /// downgrade): nothing is written.
    rejected,
    /// The current image, left suspect by a cut-off install, is the update
    /// after all: record it as complete (no image is copied).
    finish_interrupted,
    /// Keep the current image as the fallback image, then install.
    install_keeping_current,
    /// Install over the current image, leaving the fallback image as it is.
    install_without_fallback,
    /// "Update failed." before anything is written: a path to write is not a
    /// regular file, or the update file is an image itself.
    refuse_not_writable,
    /// "Update failed." before anything is written: an image is in use.
    refuse_in_use,
    /// "Update failed." before anything is written: the current image did
    /// not read and there is no fallback image to boot should the install
    /// fail, so it is the only image and is not overwritten.
    refuse_only_image_unreadable,
};

/// The action for `facts`. Guarantees, for every input: it never installs
/// an update that did not read, failed the image check, is not authentic, is
/// for another kind of device or is a downgrade (nor finishes the
/// interrupted install of one);
/// never overwrites the current image while it is the only whole image
/// unless it is kept as the fallback image first; keeps as the fallback image
/// only a current image that read, is not suspect and is confirmed (or is the
/// only image there is); never writes while a path is not writable or an
/// image is in use; and never answers nothing while the install marker is
/// there.
Action decide(const Facts& facts);

/// A short name of `action`, for tests and diagnostics.
const char* action_name(Action action);

}  // namespace updater
