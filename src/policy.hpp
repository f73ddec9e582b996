// The decision of a run: what the tool does, given what it found on the
// stick and the image partition. Pure: it reads nothing and writes nothing,
// so every rule can be checked without a device.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace updater {

/// A small file that holds a version (the version floor, the current
/// image's recorded version): absent, there but not one version line, or a
/// version.
struct VersionFile {
    bool present = false;
    /// The version, when the file reads as one.
    std::optional<std::uint64_t> version;
};

/// Sizes in bytes that say whether an installation fits on the partition.
struct Room {
    /// The partition's allocation unit.
    std::uint64_t block = 4096;
    /// Free on the partition, for this process.
    std::uint64_t free = UINT64_MAX / 4;
    /// The update file's size.
    std::uint64_t update = 0;
    /// The current image's size (what a fallback copy of it takes).
    std::uint64_t current = 0;
    /// What the current image holds on the partition (freed when it goes).
    std::uint64_t current_held = 0;
    /// What the old fallback image and a stale temporary copy of it hold
    /// (freed before a fallback copy is made).
    std::uint64_t fallback_held = 0;
    /// What a stale temporary new image holds (freed first by installs by
    /// rename).
    std::uint64_t stale_held = 0;
    /// The file system's own bookkeeping for a file it writes: one block,
    /// and one more for every this many bytes of it (ext4's extent blocks);
    /// 0 for none (tmpfs).
    std::uint64_t bookkeeping_every = 0;
};

/// What main finds before it decides.
struct Facts {
    /// The install marker is there: the current image may be incomplete.
    bool interrupted = false;
    /// The current image is a non-empty regular file (it may still not read).
    bool current_present = false;
    /// The current image's digest, when it read.
    std::optional<std::string> current_digest;
    /// The update file leads off the stick, to another file system: it is
    /// not read (and has no digest).
    bool update_off_stick = false;
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
    /// Every path the installation writes is a regular file or absent, the
    /// update file is not one of the images itself, and the two images are
    /// not one file.
    bool writable = true;
    /// An image on the partition backs a loop device: the system may run
    /// from it.
    bool image_in_use = false;

    /// The build puts a newly installed image on trial until the running
    /// system confirms it (trial boots).
    bool trial_boots = false;
    /// The build installs by renames: the update written once, at a
    /// temporary name, the current image renamed to the fallback image.
    bool install_by_rename = false;
    /// The build takes no update below the device's version floor.
    bool rollback_protection = false;
    /// The version the update's signed manifest names.
    std::optional<std::uint64_t> update_version;
    /// The version floor file (rollback protection).
    VersionFile floor;
    /// The version recorded for the current image (rollback protection).
    VersionFile recorded;

    /// What the partition has and the installation takes.
    Room room;
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
    /// "Update failed." before anything is written: the installation would
    /// not fit on the partition.
    refuse_no_room,
};

/// When a version floor that lags behind the confirmed current image's
/// recorded version is raised to it, before the installation makes that
/// image suspect.
enum class FloorMend {
    /// The floor does not lag (or the run installs nothing).
    none,
    /// Before anything else is written.
    first,
    /// Once the old fallback image is removed, which frees the room for it.
    after_removing_fallback,
};

/// What a run does, and the steps that come with it. The mechanism carries
/// it out in this order: mend the floor, keep the current image, install,
/// record the version, begin the trial, raise the floor. Any step that fails
/// makes the run fail ("Update failed."), but for `raise_floor_when_in_place`.
struct Plan {
    Action action = Action::nothing;
    /// The downgrade rule turned the update down (action rejected).
    bool downgrade = false;
    /// The floor the update's version was compared with (rollback
    /// protection; none: any version is taken).
    std::optional<std::uint64_t> floor;
    /// When the lagging floor is raised to the recorded version.
    FloorMend mend_floor = FloorMend::none;
    /// Record the new image's signed version (rollback protection).
    bool record_version = false;
    /// Begin the new image's trial (trial boots).
    bool begin_trial = false;
    /// The floor to raise to once the new image is in place (it counts as
    /// confirmed at once): its version, or the floor where that is higher.
    /// Its failure does not fail the run: the next run mends the floor
    /// before it installs. (A failed mend before the install does fail it:
    /// the install would make the confirmed image's version no floor.)
    std::optional<std::uint64_t> raise_floor_to;
    /// Bytes the installation needs on the partition, and has (for the reason
    /// of refuse_no_room).
    std::uint64_t room_needed = 0;
    std::uint64_t room_available = 0;
};

/// True when the current image is whole and confirmed: there, no install of
/// it was cut off, and not on trial. Only such an image's recorded version
/// counts as a floor.
bool current_confirmed(const Facts& facts);

/// The plan for `facts`. Guarantees, for every input: it never installs an
/// update that did not read, failed the image check, leads off the stick, is
/// not authentic, is for another kind of device or is a downgrade (nor
/// finishes the interrupted install of one); never overwrites the current
/// image while it is the only whole image unless it is kept as the fallback
/// image first; keeps as the fallback image only a current image that read,
/// is not suspect and is confirmed (or is the only image there is); never
/// writes while a path is not writable, an image is in use or the
/// installation does not fit; never answers nothing while the install marker
/// is there. The floor is the floor file's version, raised to the recorded
/// version of a confirmed current image; an image never confirmed never sets
/// it. A floor that lags is mended before an installation makes the current
/// image suspect, so no cut opens a downgrade, and where the partition has
/// room for it, a lagging floor changes nothing else.
Plan decide(const Facts& facts);

/// A short name of `action`, for tests and diagnostics.
const char* action_name(Action action);

}  // namespace updater
