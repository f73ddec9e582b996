#include "event_line.hpp"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace updater {
namespace {

/// True when `value` can stand without quotes: not empty, and only letters,
/// digits and , . _ + : @ % / -.
bool is_bare(std::string_view value) {
    return !value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
               std::string_view(",._+:@%/-").find(c) != std::string_view::npos;
    });
}

/// `value` as the line writes it: bare, or quoted and escaped; cut to
/// event_value_limit bytes first.
std::string format_value(std::string_view value) {
    value = value.substr(0, event_value_limit);
    if (is_bare(value)) {
        return std::string(value);
    }
    std::string quoted = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
        }
        quoted += std::iscntrl(static_cast<unsigned char>(c)) != 0 ? ' ' : c;
    }
    return quoted + '"';
}

/// The time `time` as UTC, e.g. 2026-12-09T17:50:00Z (no locale, no time
/// zone file read).
std::string format_time(std::time_t time) {
    std::tm parts{};
    char text[48];
    if (::gmtime_r(&time, &parts) == nullptr ||
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900,
                      parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min,
                      parts.tm_sec) <= 0) {
        return "unknown";
    }
    return text;
}

}  // namespace

std::string format_event_line(std::uint64_t sequence, std::time_t time, std::string_view event,
                              const std::vector<EventField>& fields) {
    std::string line =
        std::to_string(sequence) + ' ' + format_time(time) + ' ' + std::string(event);
    for (const EventField& field : fields) {
        line += ' ' + field.key + '=' + format_value(field.value);
    }
    return line + '\n';
}

std::size_t complete_length(std::string_view log) {
    const std::size_t last = log.rfind('\n');
    return last == std::string_view::npos ? 0 : last + 1;
}

std::uint64_t next_sequence(std::string_view log) {
    std::uint64_t highest = 0;
    log = log.substr(0, complete_length(log));
    while (!log.empty()) {
        const std::string_view line = log.substr(0, log.find('\n'));
        log.remove_prefix(line.size() + 1);
        const std::size_t digits = std::min(line.find_first_not_of("0123456789"), line.size());
        // (More than 19 digits might not fit: no number.)
        if (digits > 0 && digits <= 19) {
            highest =
                std::max<std::uint64_t>(highest, std::stoull(std::string(line.substr(0, digits))));
        }
    }
    return highest + 1;
}

std::string_view last_complete_line(std::string_view log) {
    log = log.substr(0, complete_length(log));
    if (log.empty()) {
        return log;
    }
    log.remove_suffix(1);
    const std::size_t start = log.rfind('\n');
    return start == std::string_view::npos ? log : log.substr(start + 1);
}

std::string_view newer_half(std::string_view log) {
    log = log.substr(0, complete_length(log));
    while (log.size() > event_log_limit / 2) {
        const std::size_t end = log.find('\n');
        log.remove_prefix(end + 1);
    }
    return log;
}

}  // namespace updater
