// The lines of the event log: their format, and what a log (with a line cut
// off by a power cut) says of the next one.

#include "event_line.hpp"

#include <gtest/gtest.h>

#include <string>

namespace updater {
namespace {

TEST(EventLine, NumberTimeEventAndFields) {
    // 2026-12-09T17:50:00Z
    EXPECT_EQ(format_event_line(7, 1796838600, "install-complete",
                                {{"digest", "0123456789abcdef"}, {"size", "98304"}}),
              "7 2026-12-09T17:50:00Z install-complete digest=0123456789abcdef size=98304\n");
}

TEST(EventLine, ValuesWithOtherCharactersAreQuotedOnOneLine) {
    EXPECT_EQ(
        format_event_line(1, 0, "update-rejected", {{"reason", "a \"b\" c\\d\ne"}, {"empty", ""}}),
        "1 1970-01-01T00:00:00Z update-rejected reason=\"a \\\"b\\\" c\\\\d e\" empty=\"\"\n");
    const std::string line =
        format_event_line(1, 0, "update-refused", {{"reason", std::string(2000, 'x')}});
    EXPECT_EQ(line.size(), std::string("1 1970-01-01T00:00:00Z update-refused reason=\n").size() +
                               event_value_limit);
}

TEST(EventLog, NextNumberIsOneAboveTheHighestOfCompleteLines) {
    EXPECT_EQ(next_sequence(""), 1U);
    EXPECT_EQ(next_sequence("41 t a\n43 t b\n42 t c\n"), 44U);
    // A line cut off counts for nothing, nor does one without a number.
    EXPECT_EQ(next_sequence("41 t a\n99 t cut"), 42U);
    EXPECT_EQ(next_sequence("x t a\n5 t b\n"), 6U);
    EXPECT_EQ(next_sequence("123456789012345678901 t a\n"), 1U);
}

TEST(EventLog, LastCompleteLineLeavesOutACutLine) {
    EXPECT_EQ(last_complete_line(""), "");
    EXPECT_EQ(last_complete_line("1 t a"), "");
    EXPECT_EQ(last_complete_line("1 t a\n2 t b\n"), "2 t b");
    EXPECT_EQ(last_complete_line("1 t a\n2 t b\n3 t"), "2 t b");
    EXPECT_EQ(complete_length("1 t a\n2 t"), 6U);
}

TEST(EventLog, NewerHalfKeepsTheNewestWholeLines) {
    std::string log;
    for (int i = 1; i <= 2000; ++i) {
        log += std::to_string(i) + " 2026-12-09T17:50:00Z trial-boot boot=1\n";
    }
    const std::string cut = log + "2001 cut";
    const std::string_view half = newer_half(cut);
    EXPECT_LE(half.size(), event_log_limit / 2);
    EXPECT_GT(half.size(), event_log_limit / 2 - 64);
    EXPECT_EQ(half.substr(half.size() - 44), "2000 2026-12-09T17:50:00Z trial-boot boot=1\n");
    EXPECT_EQ(log.substr(log.size() - half.size()), half);
    EXPECT_EQ(newer_half("1 t a\n"), "1 t a\n");
}

}  // namespace
}  // namespace updater
