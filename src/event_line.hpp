// The lines of the event log: what one says, and what a log's lines say of
// the next one. Pure: the mechanism that reads and writes the log is in
// event_log_file.cpp.
//
// A line is the event's sequence number, the time (UTC), the event's name
// and its fields, parted by single spaces, then a newline:
//
//     7 2026-12-09T17:50:00Z install-complete digest=0123456789abcdef size=98304
//
// A value is written as it is when it holds only letters, digits and
// , . _ + : @ % / -; otherwise in double quotes, with \ and " escaped by a
// backslash and control characters as spaces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace updater {

/// One field of an event: a key (lower-case letters) and its value.
struct EventField {
    std::string key;
    std::string value;
};

/// The event log stays below this many bytes.
inline constexpr std::size_t event_log_limit = 64 * 1024;

/// Values are cut to this many bytes, so that a line stays short.
inline constexpr std::size_t event_value_limit = 480;

/// The line, newline included, of the event `event` with `fields`, numbered
/// `sequence`, at `time` (seconds since the epoch), in the format above.
std::string format_event_line(std::uint64_t sequence, std::time_t time, std::string_view event,
                              const std::vector<EventField>& fields);

/// The length of the complete lines at the start of `log`: up to and with
/// its last newline. What follows (a line cut off by a power cut) counts
/// for nothing.
std::size_t complete_length(std::string_view log);

/// The number for the next line of `log`: one more than the highest number
/// a complete line begins with; 1 when none does.
std::uint64_t next_sequence(std::string_view log);

/// The last complete line of `log`, without its newline; empty when there is
/// none.
std::string_view last_complete_line(std::string_view log);

/// The newest complete lines of `log` that together take at most half of
/// event_log_limit: what is kept when the log would grow past its limit.
std::string_view newer_half(std::string_view log);

}  // namespace updater
