// A build with the event log: each event appended to
// /mnt/imgpart/kestran_events.log, made durable.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>

#include "console.hpp"
#include "constants.hpp"
#include "descriptor.hpp"
#include "event_log.hpp"
#include "storage.hpp"

namespace updater {
namespace {

/// Why an entry of `status` is no log to write: empty when it is a regular
/// file of one name (another name would be written through).
std::optional<std::string> not_a_log(const struct stat& status) {
    if (!S_ISREG(status.st_mode)) {
        return "it is not a regular file";
    }
    if (status.st_nlink != 1) {
        return "it has another name";
    }
    return std::nullopt;
}

/// The system's text for the error `error`, as a reason.
std::string error_text(int error) { return std::strerror(error); }

/// The newest event_log_limit bytes at most of the log open at `fd`, of
/// `size` bytes, from the start of a line; std::nullopt when it does not
/// read.
std::optional<std::string> read_tail(int fd, std::uint64_t size) {
    const std::uint64_t start = size > event_log_limit ? size - event_log_limit : 0;
    std::string text(static_cast<std::size_t>(size - start), '\0');
    std::size_t length = 0;
    while (length < text.size()) {
        const ssize_t got = ::pread(fd, text.data() + length, text.size() - length,
                                    static_cast<off_t>(start + length));
        if (got == 0) {
            break;
        }
        if (got < 0 && errno != EINTR) {
            return std::nullopt;
        }
        length += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    text.resize(length);
    if (start > 0) {
        // (The first line began before what was read.)
        text.erase(0, text.find('\n') == std::string::npos ? text.size() : text.find('\n') + 1);
    }
    return text;
}

/// Appends `line` to the log open at `fd`, of `size` bytes, and flushes it
/// (and the directory, for a log just `created`). On a failed write, cuts
/// the log back to `size`. Returns why it failed, if it did.
std::optional<std::string> append(int fd, std::uint64_t size, const std::string& line,
                                  bool created) {
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(fd, line.data() + written, line.size() - written);
        if (n < 0 && errno != EINTR) {
            const int error = errno;
            // (A partial line would be dropped by the next write anyway.)
            static_cast<void>(::ftruncate(fd, static_cast<off_t>(size)));
            return error_text(error);
        }
        written += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    if (::fdatasync(fd) != 0) {
        return error_text(errno);
    }
    if (created && !flush_to_storage(event_log, image_directory)) {
        return "its directory could not be flushed";
    }
    return std::nullopt;
}

/// Writes the event `event` with `fields` to the log, as record_event says.
/// Returns why it could not, if it could not.
std::optional<std::string> write_event(std::string_view event,
                                       const std::vector<EventField>& fields) {
    struct stat status;
    if (::lstat(event_log, &status) == 0) {
        if (std::optional<std::string> why = not_a_log(status)) {
            return why;
        }
    }
    bool created = false;
    FileDescriptor fd(::open(event_log, O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!fd.valid() && errno == ENOENT) {
        fd.reset(::open(event_log,
                        O_RDWR | O_APPEND | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                        0644));
        created = fd.valid();
    }
    if (!fd.valid()) {
        return errno == ELOOP ? "it is a symbolic link" : error_text(errno);
    }
    if (::fstat(fd.get(), &status) != 0) {
        return error_text(errno);
    }
    if (std::optional<std::string> why = not_a_log(status)) {
        return why;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(status.st_size);
    const std::optional<std::string> log = read_tail(fd.get(), size);
    if (!log) {
        return "it does not read";
    }
    const std::size_t complete = complete_length(*log);
    const std::string line =
        format_event_line(next_sequence(*log), std::time(nullptr), event, fields);
    if (complete == log->size() && size == log->size() && size + line.size() < event_log_limit) {
        std::optional<std::string> why = append(fd.get(), size, line, created);
        if (why && created) {
            ::unlink(event_log);
        }
        return why;
    }
    // A line cut off, or a log that would grow past its limit: written anew,
    // its newer half only when it must shrink.
    std::string kept = log->substr(0, complete);
    if (kept.size() + line.size() >= event_log_limit) {
        kept = std::string(newer_half(kept));
    }
    if (!write_durably(event_log, event_log_new, kept + line, image_directory)) {
        return "it could not be written anew";
    }
    return std::nullopt;
}

}  // namespace

void record_event(std::string_view event, const std::vector<EventField>& fields) {
    if (const std::optional<std::string> why = write_event(event, fields)) {
        warn(std::string("cannot write the event log ") + event_log + ": " + *why + "; the event " +
             std::string(event) + " is left out");
    }
}

}  // namespace updater
