// The version floor's rules in decide: a table, and every combination of
// what they read checked against the invariants that keep downgrades out
// and updates possible.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "policy.hpp"
#include "policy_facts.hpp"

namespace updater {
namespace {

/// A row of the version floor's rules: a device with rollback protection
/// and a confirmed current image recorded as version 5; the update B is
/// signed as version 6 unless the row says otherwise.
struct FloorRow {
    const char* name;
    Facts facts;
    Action want;
    std::optional<std::uint64_t> floor;
    FloorMend mend;
};

Facts versioned(void (*change)(Facts&)) {
    Facts f = with([](Facts& g) {
        g.rollback_protection = true;
        g.recorded = {true, 5};
        g.floor = {true, 5};
        g.update_version = 6;
    });
    change(f);
    return f;
}

TEST(Decide, FloorRules) {
    const FloorRow rows[] = {
        {"floor and record agree", versioned([](Facts&) {}), Action::install_keeping_current, 5,
         FloorMend::none},
        {"a lagging floor is mended first", versioned([](Facts& f) {
             f.floor = {true, 3};
         }),
         Action::install_keeping_current, 5, FloorMend::first},
        {"no floor file: the confirmed record counts", versioned([](Facts& f) {
             f.floor = {};
             f.update_version = 4;
         }),
         Action::rejected, 5, FloorMend::none},
        {"an unreadable floor: the confirmed record counts", versioned([](Facts& f) {
             f.floor = {true, std::nullopt};
         }),
         Action::install_keeping_current, 5, FloorMend::first},
        {"a full partition: mended once the old fallback image goes", versioned([](Facts& f) {
             f.floor = {true, 3};
             tight(f, 0, 20);
         }),
         Action::install_keeping_current, 5, FloorMend::after_removing_fallback},
        {"a rejected image's version is no floor", versioned([](Facts& f) {
             f.floor = {};
             f.trial_boots = true;
             f.current_on_trial = true;
             f.update_version = 1;
         }),
         Action::install_without_fallback, std::nullopt, FloorMend::none},
        {"an interrupted install's version is no floor", versioned([](Facts& f) {
             f.floor = {true, std::nullopt};
             f.interrupted = true;
             f.update_version = 1;
         }),
         Action::install_without_fallback, std::nullopt, FloorMend::none},
        {"the floor file above the record holds", versioned([](Facts& f) {
             f.floor = {true, 8};
             f.update_version = 7;
         }),
         Action::rejected, 8, FloorMend::none},
    };
    for (const FloorRow& row : rows) {
        const Plan plan = decide(row.facts);
        EXPECT_STREQ(action_name(plan.action), action_name(row.want)) << row.name;
        EXPECT_EQ(plan.floor, row.floor) << row.name;
        EXPECT_EQ(plan.mend_floor, row.mend) << row.name;
    }
}

/// Every combination of what the floor rules read, on a device with rollback
/// protection and a stick with B, on partitions with room to spare, with
/// none free but an old fallback image to remove, and with none at all.
template <typename Visit>
void for_every_floor(Visit visit) {
    const std::array<std::optional<std::string>, 3> digests = {none, a, b};
    const std::array<std::optional<std::uint64_t>, 4> versions = {std::nullopt, 4, 5, 6};
    const std::array<VersionFile, 5> files = {VersionFile{}, VersionFile{true, std::nullopt},
                                              VersionFile{true, 4}, VersionFile{true, 5},
                                              VersionFile{true, 6}};
    for (unsigned bits = 0; bits < (1u << 5) * 3; ++bits) {
        for (const auto& current : digests) {
            for (const auto& version : versions) {
                for (const VersionFile& floor : files) {
                    for (const VersionFile& recorded : files) {
                        Facts f;
                        f.rollback_protection = true;
                        f.interrupted = bits & 1u;
                        f.current_present = bits & 2u;
                        f.current_on_trial = bits & 4u;
                        f.trial_boots = bits & 8u;
                        f.fallback_present = bits & 16u;
                        if (bits >> 5 == 1) {
                            tight(f, 0, 20);
                        } else if (bits >> 5 == 2) {
                            tight(f, 0, 0);
                        }
                        f.current_digest = f.current_present ? current : none;
                        f.update_digest = b;
                        f.update_version = version;
                        f.floor = floor;
                        f.recorded = recorded;
                        visit(f);
                    }
                }
            }
        }
    }
}

/// The floor's invariants: an image never confirmed never sets the floor; no
/// cut in an installation opens a downgrade; and a floor that could not be
/// written (it lags behind the confirmed image's record) never turns an
/// installation that would go ahead into a failure, where the partition has
/// the block its mend takes before the current image becomes suspect.
TEST(Decide, FloorInvariantsHoldForEveryCombination) {
    int combinations = 0;
    for_every_floor([&](const Facts& f) {
        ++combinations;
        const Plan plan = decide(f);
        const auto where = [&] {
            return std::string(action_name(plan.action)) +
                   " interrupted=" + std::to_string(f.interrupted) +
                   " present=" + std::to_string(f.current_present) +
                   " trial=" + std::to_string(f.current_on_trial) +
                   " floor=" + std::to_string(f.floor.version.value_or(99)) +
                   " recorded=" + std::to_string(f.recorded.version.value_or(99)) +
                   " update=" + std::to_string(f.update_version.value_or(99)) +
                   " free=" + std::to_string(f.room.free);
        };
        if (!current_confirmed(f)) {
            Facts other = f;
            other.recorded = {true, 9};
            EXPECT_EQ(decide(other).floor, plan.floor) << where();
            EXPECT_EQ(plan.mend_floor, FloorMend::none) << where();
        }
        const bool writes = plan.action == Action::install_keeping_current ||
                            plan.action == Action::install_without_fallback ||
                            plan.action == Action::finish_interrupted;
        if (writes) {
            // A cut anywhere in it: the marker there, the floor file as
            // the plan left it before the install began.
            Facts cut = f;
            cut.interrupted = true;
            if (plan.mend_floor != FloorMend::none) {
                cut.floor = {true, plan.floor};
            }
            EXPECT_GE(decide(cut).floor.value_or(0), plan.floor.value_or(0)) << where();
            EXPECT_TRUE(f.update_version && *f.update_version >= plan.floor.value_or(0)) << where();
        }
        if (current_confirmed(f) && f.recorded.version &&
            (!f.floor.version || *f.floor.version < *f.recorded.version)) {
            Facts mended = f;
            mended.floor = {true, f.recorded.version};
            const Plan plan_mended = decide(mended);
            const bool room_for_mend = f.room.free >= f.room.block ||
                                       plan_mended.action == Action::install_keeping_current;
            if (room_for_mend) {
                EXPECT_STREQ(action_name(plan.action), action_name(plan_mended.action)) << where();
            }
            const bool installs = plan.action == Action::install_keeping_current ||
                                  plan.action == Action::install_without_fallback;
            EXPECT_EQ(installs, plan.mend_floor != FloorMend::none) << where();
        }
    });
    EXPECT_EQ(combinations, 32 * 3 * 3 * 4 * 5 * 5);
}

}  // namespace
}  // namespace updater
