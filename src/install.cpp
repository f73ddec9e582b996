#include "install.hpp"

#include <algorithm>
#include <string>

#include "console.hpp"
#include "constants.hpp"
#include "digest.hpp"
#include "install_mode.hpp"
#include "loop.hpp"
#include "process.hpp"
#include "rollback.hpp"
#include "shell.hpp"
#include "storage.hpp"
#include "trial.hpp"

namespace updater {

bool copy_durably(const char* command, const char* image, const std::string& digest) {
    if (!run_command(command) || !flush_to_storage(image, image_directory)) {
        return false;
    }
    const std::optional<std::string> written = _get_shasum(image);
    if (written && *written != digest) {
        warn(std::string(image) + " reads back from the medium other than what was copied");
    }
    return written == digest;
}

bool mend_floor(const Plan& plan) { return !plan.floor || write_version_floor(*plan.floor); }

bool remove_old_fallback(const Plan& plan) {
    return stop_requested() == 0 && remove_durably(fallback_image_new, image_directory) &&
           remove_durably(fallback_image, image_directory) &&
           (plan.mend_floor != FloorMend::after_removing_fallback || mend_floor(plan));
}

bool install_over_current(const std::string& update_digest) {
    // The current image goes before the install copy, which then writes a
    // new file: no other name of the old image is written through.
    return stop_requested() == 0 && create_durably(install_marker, image_directory) &&
           remove_durably(current_image, image_directory) &&
           copy_durably(install_command, current_image, update_digest);
}

namespace {

/// Makes the complete current image, of signed version `version`, the one in
/// place as `plan` says: its version recorded, its trial begun, the install
/// marker removed, then the version floor raised where it counts as
/// confirmed at once. True when the image is in place on storage.
bool put_in_place(const Plan& plan, std::optional<std::uint64_t> version) {
    if ((plan.record_version && version && !record_current_version(*version)) ||
        (plan.begin_trial && !begin_trial()) || !remove_durably(install_marker, image_directory)) {
        return false;
    }
    if (plan.raise_floor_to) {
        // (Said on standard error when it fails; the next run mends it
        // before it installs anything.)
        write_version_floor(*plan.raise_floor_to);
    }
    return true;
}

}  // namespace

bool update_firmware(const Plan& plan, const std::optional<std::string>& current_digest,
                     const std::string& update_digest, std::optional<std::uint64_t> version) {
    say(message_copying);
    if (plan.mend_floor == FloorMend::first && !mend_floor(plan)) {
        return false;
    }
    // While the marker stays, the device boots the fallback image: the
    // update is in place only once the marker is gone, and not before its
    // trial has begun (with trial boots), so that no cut leaves a new image
    // that looks confirmed.
    return place_update(plan, current_digest, update_digest) && put_in_place(plan, version);
}

std::vector<std::string> install_obstacles() {
    std::vector<std::string> obstacles = trial_state_obstacles();
    for (std::string& obstacle : rollback_obstacles()) {
        obstacles.push_back(std::move(obstacle));
    }
    for (const char* path :
         {current_image, fallback_image, fallback_image_new, current_image_new, install_marker}) {
        if (std::optional<std::string> obstacle = write_obstacle(path)) {
            obstacles.push_back(std::move(*obstacle));
        }
    }
    for (const char* path : {current_image, fallback_image}) {
        if (same_file(update_file, path)) {
            obstacles.push_back(std::string(update_file) + " is " + path + " itself");
        }
    }
    // One file under both names would be written as both at once.
    if (same_file(current_image, fallback_image)) {
        obstacles.push_back(std::string(current_image) + " and " + fallback_image +
                            " are one file");
    }
    return obstacles;
}

std::vector<std::string> images_in_use() {
    std::vector<std::string> in_use;
    for (const char* image : {current_image, fallback_image}) {
        if (const std::optional<std::string> device = loop_device_backed_by(image)) {
            in_use.push_back(std::string(image) + " is in use (backs " + *device +
                             "): not overwritten");
        }
    }
    return in_use;
}

bool install_interrupted() { return exists(install_marker); }

bool finish_interrupted_install(const Plan& plan, std::optional<std::uint64_t> version) {
    return put_in_place(plan, version);
}

Room measure_room() {
    Room room;
    if (const std::optional<FreeRoom> free = free_room(image_directory)) {
        room.block = free->block;
        room.free = free->free;
        room.bookkeeping_every = free->bookkeeping_every;
    }
    room.update = file_size(update_file);
    room.current = file_size(current_image);
    room.current_held = held_bytes(current_image);
    room.fallback_held = held_bytes(fallback_image) + held_bytes(fallback_image_new);
    room.stale_held = held_bytes(current_image_new);
    return room;
}

}  // namespace updater
