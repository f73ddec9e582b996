#include "policy.hpp"

#include <algorithm>

namespace updater {
namespace {

/// `bytes` rounded up to whole blocks of `block` bytes.
std::uint64_t in_blocks(std::uint64_t bytes, std::uint64_t block) {
    return block == 0 ? bytes : (bytes + block - 1) / block * block;
}

/// The partition's free room as the steps of an installation take and give
/// it back; remembers the first step that did not fit.
struct Budget {
    std::uint64_t available;
    bool fits = true;
    std::uint64_t short_needed = 0;
    std::uint64_t short_available = 0;
};

/// Takes `bytes` for good and `transient` more for the moment (a temporary
/// file renamed over an old one).
void take(Budget& budget, std::uint64_t bytes, std::uint64_t transient = 0) {
    if (budget.fits && bytes + transient > budget.available) {
        budget.fits = false;
        budget.short_needed = bytes + transient;
        budget.short_available = budget.available;
    }
    budget.available -= std::min(budget.available, bytes);
}

void give(Budget& budget, std::uint64_t bytes) { budget.available += bytes; }

/// Takes what writing a small file takes: a block for its temporary name,
/// and a block for good when no old file is replaced.
void take_small_file(Budget& budget, bool replaces, std::uint64_t block) {
    take(budget, replaces ? 0 : block, replaces ? block : 0);
}

/// What writing a file of `bytes` takes on the partition: its blocks and the
/// file system's bookkeeping for it.
std::uint64_t file_room(std::uint64_t bytes, const Room& room) {
    const std::uint64_t bookkeeping =
        room.bookkeeping_every == 0 ? 0 : room.block * (1 + bytes / room.bookkeeping_every);
    return in_blocks(bytes, room.block) + bookkeeping;
}

/// Whether the installation `plan` describes fits on the partition, step by
/// step in the order the mechanism takes them, leaving the room the new
/// image's trial boots and its confirmation write; sets the plan's room
/// figures.
bool fits(const Facts& facts, Plan& plan) {
    const Room& room = facts.room;
    Budget budget{room.free};
    const bool keep = plan.action == Action::install_keeping_current;
    if (plan.mend_floor == FloorMend::first) {
        take_small_file(budget, facts.floor.present, room.block);
    }
    if (facts.install_by_rename) {
        give(budget, room.stale_held);
    }
    if (keep) {
        give(budget, room.fallback_held);
        if (plan.mend_floor == FloorMend::after_removing_fallback) {
            take_small_file(budget, facts.floor.present, room.block);
        }
    }
    if (keep && facts.install_by_rename) {
        // The update is written beside the current image, which is then
        // renamed to the fallback image: neither is copied.
        take(budget, file_room(room.update, room));
    } else {
        if (keep) {
            take(budget, file_room(room.current, room));
        }
        give(budget, room.current_held);
        take(budget, file_room(room.update, room));
    }
    // The small files written once the image is in place.
    const bool floor_there = facts.floor.present || plan.mend_floor != FloorMend::none;
    if (plan.record_version) {
        take_small_file(budget, facts.recorded.present, room.block);
    }
    if (plan.begin_trial) {
        take_small_file(budget, facts.current_on_trial, room.block);
    }
    if (plan.raise_floor_to) {
        take_small_file(budget, floor_there, room.block);
    }
    if (plan.begin_trial) {
        // Each trial boot rewrites the count; the confirmation raises the
        // floor (rollback protection).
        take_small_file(budget, true, room.block);
        if (facts.rollback_protection) {
            take_small_file(budget, floor_there, room.block);
        }
    }
    plan.room_needed = budget.short_needed;
    plan.room_available = budget.short_available;
    return budget.fits;
}

}  // namespace

bool current_confirmed(const Facts& facts) {
    return facts.current_present && !facts.interrupted && !facts.current_on_trial;
}

Plan decide(const Facts& facts) {
    Plan plan;
    if (facts.update_off_stick || !facts.update_digest || !facts.update_is_image) {
        plan.action = Action::unreadable;
        return plan;
    }
    // The floor: the floor file's version, raised to the recorded version of
    // a confirmed current image. An image that was never confirmed (on trial,
    // rejected, or cut off mid-install) sets no floor.
    const bool confirmed = current_confirmed(facts);
    const std::optional<std::uint64_t>& recorded = facts.recorded.version;
    std::optional<std::uint64_t> floor = facts.floor.version;
    if (confirmed && recorded) {
        floor = std::max(floor.value_or(0), *recorded);
    }
    if (facts.rollback_protection) {
        plan.floor = floor;
        plan.downgrade = !facts.update_version || (floor && *facts.update_version < *floor);
    }
    const bool acceptable = facts.authentic && facts.compatible && !plan.downgrade;
    if (!facts.authentic || !facts.compatible) {
        plan.downgrade = false;  // the first reason is the one given
    }
    plan.record_version = facts.rollback_protection;
    plan.begin_trial = facts.trial_boots;
    if (facts.rollback_protection && !facts.trial_boots && facts.update_version) {
        plan.raise_floor_to = std::max(*facts.update_version, floor.value_or(0));
    }

    if (facts.current_digest == facts.update_digest) {
        // An image left suspect by a cut-off install is what this update
        // would install: it is confirmed only for an acceptable update.
        if (!facts.interrupted) {
            plan.action = Action::nothing;
        } else if (!acceptable) {
            plan.action = Action::rejected;
        } else if (!facts.writable) {
            // (The update file may be the current image itself, through a
            // link: then the digests match whatever the image holds.)
            plan.action = Action::refuse_not_writable;
        } else {
            plan.action = facts.image_in_use ? Action::refuse_in_use : Action::finish_interrupted;
        }
        return plan;
    }
    if (!acceptable) {
        plan.action = Action::rejected;
        return plan;
    }
    if (!facts.writable) {
        plan.action = Action::refuse_not_writable;
        return plan;
    }
    if (facts.image_in_use) {
        plan.action = Action::refuse_in_use;
        return plan;
    }
    // An image that is there but cannot be read is overwritten only while a
    // fallback image stands ready to boot should the install fail.
    if (!facts.current_digest && !facts.interrupted && facts.current_present &&
        !facts.fallback_present) {
        plan.action = Action::refuse_only_image_unreadable;
        return plan;
    }
    // Only an image that is complete and confirmed is one to fall back to;
    // but an unconfirmed one is kept where there is no fallback image at
    // all, since it is then the only image to boot.
    const bool known_good = !facts.interrupted && facts.current_digest &&
                            (!facts.current_on_trial || !facts.fallback_present);
    plan.action = known_good ? Action::install_keeping_current : Action::install_without_fallback;
    // Once the install has begun the current image is suspect and its
    // recorded version no longer counts: a floor that lags behind it is
    // raised first, where there is room, else once the old fallback image
    // has made room.
    const bool lags = facts.rollback_protection && confirmed && recorded &&
                      (!facts.floor.version || *facts.floor.version < *recorded);
    if (lags) {
        const bool room_first = facts.room.free >= facts.room.block;
        plan.mend_floor = room_first || plan.action != Action::install_keeping_current
                              ? FloorMend::first
                              : FloorMend::after_removing_fallback;
    }
    if (!fits(facts, plan)) {
        plan.action = Action::refuse_no_room;
        plan.mend_floor = FloorMend::none;
    }
    return plan;
}

const char* action_name(Action action) {
    switch (action) {
        case Action::nothing:
            return "nothing";
        case Action::unreadable:
            return "unreadable";
        case Action::rejected:
            return "rejected";
        case Action::finish_interrupted:
            return "finish_interrupted";
        case Action::install_keeping_current:
            return "install_keeping_current";
        case Action::install_without_fallback:
            return "install_without_fallback";
        case Action::refuse_not_writable:
            return "refuse_not_writable";
        case Action::refuse_in_use:
            return "refuse_in_use";
        case Action::refuse_only_image_unreadable:
            return "refuse_only_image_unreadable";
        case Action::refuse_no_room:
            return "refuse_no_room";
    }
    return "?";
}

}  // namespace updater
