// init-updater: installs the firmware update on the USB stick, keeping the
// image installed now as the fallback image. Run once at start-up with the
// stick mounted at /mnt/usb and the image partition, writable, at
// /mnt/imgpart. Takes no arguments; always exits with status 0.
//
// main gathers the facts (under the partition's lock), asks decide what to
// do, does it, and records what came of it in the event log (in a build
// with one).

#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "authenticity.hpp"
#include "compatible.hpp"
#include "console.hpp"
#include "constants.hpp"
#include "digest.hpp"
#include "event_log.hpp"
#include "image_check.hpp"
#include "install.hpp"
#include "policy.hpp"
#include "process.hpp"
#include "rollback.hpp"
#include "storage.hpp"
#include "trial.hpp"

namespace {

/// Ends a run that cannot install the update: the reason for a stop request,
/// if that is what ended it, then "Update failed.". Returns main's status.
int fail() {
    using namespace updater;
    if (const int signal = stop_requested(); signal != 0) {
        warn(std::string("stopped by ") + stop_signal_name(signal) +
             "; the update is not installed");
    }
    say(message_failed);
    return 0;
}

/// As fail, then records `event` with `fields` and, if a stop ended the run,
/// the stop signal's name. Returns main's status.
int fail_recording(const char* event, std::vector<updater::EventField> fields) {
    using namespace updater;
    if (const int signal = stop_requested(); signal != 0) {
        fields.push_back({"stopped", stop_signal_name(signal)});
    }
    const int status = fail();
    record_event(event, fields);
    return status;
}

/// The fields of an event that name the update: the first 16 hexadecimal
/// digits of its digest, its size and its signed version, where it has them;
/// then `reason`, where given.
std::vector<updater::EventField> update_fields(const updater::Facts& facts,
                                               const std::string& reason = "") {
    std::vector<updater::EventField> fields;
    if (facts.update_digest) {
        fields.push_back({"digest", facts.update_digest->substr(0, 16)});
        fields.push_back({"size", std::to_string(facts.room.update)});
    }
    if (facts.update_version) {
        fields.push_back({"version", std::to_string(*facts.update_version)});
    }
    if (!reason.empty()) {
        fields.push_back({"reason", reason});
    }
    return fields;
}

/// Writes each of `reasons` to standard error and returns them as one line.
std::string warn_all(const std::vector<std::string>& reasons) {
    std::string line;
    for (const std::string& reason : reasons) {
        updater::warn(reason);
        line += (line.empty() ? "" : "; ") + reason;
    }
    return line;
}

/// Writes "Updating Firmware." when the update differs from the current
/// image (not when an interrupted install of it is only to be finished).
void announce_update(const updater::Facts& facts) {
    if (facts.current_digest != facts.update_digest) {
        updater::say(updater::message_updating);
    }
}

/// The reason line for a rejected update: its signature's problem, the
/// device it is for, or the downgrade, in that order.
std::string rejection(const updater::Verdict& verdict,
                      const std::optional<std::string>& incompatible, const updater::Facts& facts,
                      const updater::Plan& plan) {
    if (verdict.problem) {
        return *verdict.problem;
    }
    if (incompatible) {
        return *incompatible;
    }
    if (!facts.update_version) {
        return "the update's signature names no version: this device takes only versioned "
               "updates";
    }
    return "the update's version " + std::to_string(*facts.update_version) +
           " is below this device's version floor " + std::to_string(plan.floor.value_or(0));
}

/// Why the update file gave no digest, as the digest said it on standard
/// error (or the checksum command, for a file that is there and not empty).
std::string no_digest() {
    using namespace updater;
    struct stat status;
    if (::stat(update_file, &status) != 0) {
        return std::string("cannot read ") + update_file + ": " + std::strerror(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return std::string(update_file) + " is not a regular file";
    }
    if (status.st_size == 0) {
        return std::string(update_file) + " is empty";
    }
    return std::string(checksum_command) + "gave no digest of " + update_file;
}

/// The reason line for an installation that does not fit, with the sizes.
std::string no_room(const updater::Facts& facts, const updater::Plan& plan) {
    using namespace updater;
    return std::string(update_file) + " (" + std::to_string(facts.room.update) +
           " bytes) does not fit on " + image_directory + " with the current image (" +
           std::to_string(facts.room.current) + " bytes): the installation needs " +
           std::to_string(plan.room_needed) + " bytes where " +
           std::to_string(plan.room_available) + " are free; nothing is written";
}

}  // namespace

int main(int, char**) {
    using namespace updater;

    prepare_process();
    say(message_found);
    // One run at a time: a second one waits, then decides afresh.
    const std::optional<FileDescriptor> lock = lock_directory(image_directory);
    if (!lock) {
        return fail();
    }

    Facts facts;
    facts.trial_boots = has_trial_boots();
    facts.rollback_protection = rollback_protected();
    facts.install_by_rename = installs_by_rename();
    facts.interrupted = install_interrupted();
    facts.current_on_trial = current_image_on_trial();
    facts.current_present = is_image_file(current_image);
    facts.fallback_present = is_image_file(fallback_image);
    facts.current_digest = _get_shasum(current_image);
    if (!facts.current_digest && facts.current_present) {
        // There, but it did not read: a read error may clear on a retry.
        facts.current_digest = _get_shasum(current_image);
    }
    facts.update_off_stick = leads_off(update_file, usb_directory);
    const std::string off_stick =
        std::string(update_file) + " leads off the stick, to another file system: not read";
    if (facts.update_off_stick) {
        warn(off_stick);
    } else {
        facts.update_digest = _get_shasum(update_file);
    }
    if (stop_requested() != 0) {
        return fail();
    }
    const std::optional<std::string> not_an_image =
        facts.update_digest ? update_image_problem() : std::nullopt;
    facts.update_is_image = !not_an_image;
    const Verdict verdict = facts.update_digest ? check_signature(*facts.update_digest) : Verdict{};
    facts.authentic = !verdict.problem;
    const std::optional<std::string> incompatible = incompatibility(verdict.manifest);
    facts.compatible = !incompatible;
    if (verdict.manifest) {
        facts.update_version = verdict.manifest->version;
    }
    facts.floor = read_version_file(version_floor);
    facts.recorded = read_version_file(current_version);
    const std::vector<std::string> obstacles = install_obstacles();
    facts.writable = obstacles.empty();
    const std::vector<std::string> in_use = images_in_use();
    facts.image_in_use = !in_use.empty();
    facts.room = measure_room();

    const Plan plan = decide(facts);
    std::string reason;
    switch (plan.action) {
        case Action::nothing:
            return 0;
        case Action::unreadable:
            if (not_an_image) {
                warn(*not_an_image);
            }
            say(message_unreadable);
            reason = not_an_image             ? *not_an_image
                     : facts.update_off_stick ? off_stick
                                              : no_digest();
            record_event("update-unreadable", update_fields(facts, reason));
            return 0;
        case Action::rejected:
            reason = rejection(verdict, incompatible, facts, plan);
            warn(reason);
            say(message_rejected);
            record_event("update-rejected", update_fields(facts, reason));
            return 0;
        case Action::finish_interrupted:
            if (!finish_interrupted_install(plan, facts.update_version)) {
                return fail_recording("install-failed", update_fields(facts));
            }
            record_event("install-finished", update_fields(facts));
            return 0;
        case Action::refuse_not_writable:
            announce_update(facts);
            return fail_recording("update-refused", update_fields(facts, warn_all(obstacles)));
        case Action::refuse_in_use:
            announce_update(facts);
            return fail_recording("update-refused", update_fields(facts, warn_all(in_use)));
        case Action::refuse_only_image_unreadable:
            announce_update(facts);
            reason = std::string(current_image) +
                     " could not be read and there is no fallback image: it is not overwritten";
            return fail_recording("update-refused", update_fields(facts, warn_all({reason})));
        case Action::refuse_no_room:
            announce_update(facts);
            return fail_recording("update-refused",
                                  update_fields(facts, warn_all({no_room(facts, plan)})));
        case Action::install_keeping_current:
        case Action::install_without_fallback:
            break;
    }
    say(message_updating);
    if (!update_firmware(plan, facts.current_digest, *facts.update_digest, facts.update_version)) {
        return fail_recording("install-failed", update_fields(facts));
    }
    say(message_complete);
    record_event("install-complete", update_fields(facts));
    return 0;
}
