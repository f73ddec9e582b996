// The run's decision: the safety rules as a table, and every combination of
// the facts checked against the invariants that keep a whole image to boot.
#include "policy.hpp"

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <string>

#include "policy_facts.hpp"

namespace updater {
namespace {

/// A row: the facts that differ from a device with a confirmed, readable
/// current image A, a fallback image, and a stick with an authentic B.
struct Row {
    const char* name;
    Facts facts;
    Action want;
};

TEST(Decide, SafetyRules) {
    const Row rows[] = {
        {"different: the confirmed current image is kept", device(),
         Action::install_keeping_current},
        {"identical: nothing", with([](Facts& f) { f.update_digest = a; }), Action::nothing},
        {"update unreadable", with([](Facts& f) { f.update_digest = none; }), Action::unreadable},
        {"update is no image", with([](Facts& f) { f.update_is_image = false; }),
         Action::unreadable},
        {"not authentic", with([](Facts& f) { f.authentic = false; }), Action::rejected},
        {"for another device", with([](Facts& f) { f.compatible = false; }), Action::rejected},
        {"a downgrade", with([](Facts& f) { below_floor(f); }), Action::rejected},
        {"interrupted, same, a downgrade: rejected", with([](Facts& f) {
             f.interrupted = true;
             f.update_digest = a;
             below_floor(f);
         }),
         Action::rejected},
        {"no version, rollback protection: rejected", with([](Facts& f) {
             below_floor(f);
             f.update_version.reset();
         }),
         Action::rejected},
        {"the update leads off the stick", with([](Facts& f) { f.update_off_stick = true; }),
         Action::unreadable},
        {"no room beside the image it keeps", with([](Facts& f) { tight(f, 0, 0); }),
         Action::refuse_no_room},
        {"room once the old fallback image goes", with([](Facts& f) { tight(f, 0, 8); }),
         Action::install_keeping_current},
        {"room for the fallback copy, not for the update", with([](Facts& f) { tight(f, 4, 0); }),
         Action::refuse_no_room},
        {"by copies, no room for the fallback copy",
         with([](Facts& f) { f.room = {4096, 2 * 4096, 4096, 4 * 4096, 4 * 4096, 0}; }),
         Action::refuse_no_room},
        {"by renames, the update beside the current image", with([](Facts& f) {
             f.room = {4096, 2 * 4096, 4096, 4 * 4096, 4 * 4096, 0};
             f.install_by_rename = true;
         }),
         Action::install_keeping_current},
        {"room for the update, not the version record", with([](Facts& f) {
             tight(f, 6, 0);
             f.rollback_protection = true;
             f.update_version = 7;
         }),
         Action::refuse_no_room},
        {"interrupted, same as the update: finished", with([](Facts& f) {
             f.interrupted = true;
             f.update_digest = a;
         }),
         Action::finish_interrupted},
        {"interrupted, same, not authentic: rejected", with([](Facts& f) {
             f.interrupted = true;
             f.update_digest = a;
             f.authentic = false;
         }),
         Action::rejected},
        {"interrupted image is never kept", with([](Facts& f) { f.interrupted = true; }),
         Action::install_without_fallback},
        {"on trial with a fallback image: not kept",
         with([](Facts& f) { f.current_on_trial = true; }), Action::install_without_fallback},
        {"on trial and the only image: kept", with([](Facts& f) {
             f.current_on_trial = true;
             f.fallback_present = false;
         }),
         Action::install_keeping_current},
        {"unreadable current with a fallback image: overwritten",
         with([](Facts& f) { f.current_digest = none; }), Action::install_without_fallback},
        {"unreadable only image: refused", with([](Facts& f) {
             f.current_digest = none;
             f.fallback_present = false;
         }),
         Action::refuse_only_image_unreadable},
        {"no current image, no fallback image", with([](Facts& f) {
             f.current_present = false;
             f.current_digest = none;
             f.fallback_present = false;
         }),
         Action::install_without_fallback},
        {"a path is not writable", with([](Facts& f) { f.writable = false; }),
         Action::refuse_not_writable},
        {"an image in use", with([](Facts& f) { f.image_in_use = true; }), Action::refuse_in_use},
        {"interrupted, the update is the current image itself: refused", with([](Facts& f) {
             f.interrupted = true;
             f.update_digest = a;
             f.writable = false;
         }),
         Action::refuse_not_writable},
        {"identical and in use: nothing", with([](Facts& f) {
             f.update_digest = a;
             f.image_in_use = true;
         }),
         Action::nothing},
    };
    for (const Row& row : rows) {
        EXPECT_STREQ(action_name(decide(row.facts).action), action_name(row.want)) << row.name;
    }
}

/// Every combination of the facts, with digests from {none, A, B}.
template <typename Visit>
void for_every_fact(Visit visit) {
    const std::array<std::optional<std::string>, 3> digests = {none, a, b};
    for (unsigned bits = 0; bits < (1u << 12); ++bits) {
        for (const auto& current : digests) {
            for (const auto& update : digests) {
                Facts facts;
                facts.interrupted = bits & 1u;
                facts.current_present = bits & 2u;
                facts.update_is_image = bits & 4u;
                facts.fallback_present = bits & 8u;
                facts.current_on_trial = bits & 16u;
                facts.authentic = bits & 32u;
                facts.writable = bits & 64u;
                facts.image_in_use = bits & 128u;
                facts.compatible = bits & 256u;
                if (bits & 512u) {
                    below_floor(facts);
                }
                if (bits & 1024u) {
                    tight(facts, 5, 1);
                }
                facts.install_by_rename = bits & 2048u;
                // A digest is only ever taken of an image that is there.
                facts.current_digest = facts.current_present ? current : none;
                facts.update_digest = update;
                visit(facts);
            }
        }
    }
}

TEST(Decide, InvariantsHoldForEveryCombination) {
    int combinations = 0;
    for_every_fact([&](const Facts& f) {
        ++combinations;
        const Action action = decide(f).action;
        const bool installs =
            action == Action::install_keeping_current || action == Action::install_without_fallback;
        const bool writes = installs || action == Action::finish_interrupted;
        const std::string where = std::string(action_name(action)) +
                                  " for interrupted=" + std::to_string(f.interrupted) +
                                  " current=" + std::to_string(f.current_present) +
                                  " read=" + std::to_string(f.current_digest.has_value()) +
                                  " fallback=" + std::to_string(f.fallback_present) +
                                  " trial=" + std::to_string(f.current_on_trial);
        // Never install what did not read, is no image, or is not authentic;
        // never install what is already there.
        if (writes) {
            EXPECT_TRUE(f.update_digest && f.update_is_image && f.authentic && f.compatible &&
                        !f.update_off_stick)
                << where;
        }
        if (writes) {
            EXPECT_TRUE(f.writable && !f.image_in_use) << where;
        }
        if (installs) {
            EXPECT_NE(f.current_digest, f.update_digest) << where;
        }
        // Never write over the only whole image without keeping it first.
        const bool current_whole = f.current_present && !f.interrupted;
        if (action == Action::install_without_fallback) {
            EXPECT_TRUE(!current_whole || f.fallback_present) << where;
        }
        // Keep only an image that read, is not suspect, and is confirmed or
        // the only one.
        if (action == Action::install_keeping_current) {
            EXPECT_TRUE(f.current_digest && !f.interrupted) << where;
            EXPECT_FALSE(f.current_on_trial && f.fallback_present) << where;
        }
        // Never "nothing to do" while the marker says the image may be
        // incomplete.
        if (action == Action::nothing) {
            EXPECT_FALSE(f.interrupted) << where;
            EXPECT_EQ(f.current_digest, f.update_digest) << where;
        }
        // Installing by renames never needs more room than by copies.
        if (installs && !f.install_by_rename) {
            Facts by_rename = f;
            by_rename.install_by_rename = true;
            EXPECT_STREQ(action_name(decide(by_rename).action), action_name(action)) << where;
        }
        // A refusal or a rejection is only ever for its reason.
        if (action == Action::refuse_in_use) {
            EXPECT_TRUE(f.image_in_use) << where;
        }
        if (action == Action::refuse_not_writable) {
            EXPECT_FALSE(f.writable) << where;
        }
        if (action == Action::rejected) {
            EXPECT_FALSE(f.authentic && f.compatible && !f.rollback_protection) << where;
        }
        if (action == Action::unreadable) {
            EXPECT_TRUE(!f.update_digest || !f.update_is_image) << where;
        }
    });
    EXPECT_EQ(combinations, 4096 * 9);
}

}  // namespace
}  // namespace updater
