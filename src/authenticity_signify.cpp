// A build with signing keys: an update is installed only with a signature.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "authenticity.hpp"
#include "constants.hpp"
#include "descriptor.hpp"
#include "signing_key.hpp"
#include "verdict.hpp"

namespace updater {
namespace {

/// Larger than any signature file signify writes of a digest line or a
/// manifest (a comment line of at most 1 KiB, a line of 100 base64
/// characters, and a manifest of at most 266 bytes).
constexpr off_t signature_size_limit = 2048;

/// The verdict on an update whose signature file `path` cannot be read,
/// for the reason `error` (an errno value).
Verdict unreadable(const char* path, int error) {
    return {std::string("no signature: cannot read ") + path + ": " + std::strerror(error),
            std::nullopt};
}

/// The contents of the signature file at `path`, when it is a non-empty
/// regular file of at most signature_size_limit bytes; otherwise the verdict
/// on an update without a signature, its problem saying why.
std::variant<std::string, Verdict> read_signature_file(const char* path) {
    struct stat status;
    if (::stat(path, &status) != 0) {
        return unreadable(path, errno);
    }
    // O_NONBLOCK: should a FIFO take the regular file's place after the
    // check, opening it does not wait for a writer.
    const FileDescriptor fd(
        S_ISREG(status.st_mode) ? ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1);
    if (S_ISREG(status.st_mode) && (!fd.valid() || ::fstat(fd.get(), &status) != 0)) {
        return unreadable(path, errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return Verdict{std::string("no signature: ") + path + " is not a regular file",
                       std::nullopt};
    }
    if (status.st_size == 0 || status.st_size > signature_size_limit) {
        return Verdict{std::string("no signature: ") + path +
                           (status.st_size == 0 ? " is empty" : " is too large for a signature"),
                       std::nullopt};
    }
    std::string text(static_cast<std::size_t>(status.st_size) + 1, '\0');
    std::size_t length = 0;
    while (length < text.size()) {
        const ssize_t got = ::read(fd.get(), text.data() + length, text.size() - length);
        if (got == 0) {
            break;
        }
        if (got < 0 && errno != EINTR) {
            return unreadable(path, errno);
        }
        length += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    // A file that grew while it was read is not taken either.
    if (length != static_cast<std::size_t>(status.st_size)) {
        return Verdict{std::string("no signature: ") + path + " changed while it was read",
                       std::nullopt};
    }
    text.resize(length);
    return text;
}

}  // namespace

Verdict check_signature(const std::string& digest) {
    std::variant<std::string, Verdict> read = read_signature_file(update_signature);
    if (Verdict* unread = std::get_if<Verdict>(&read)) {
        return std::move(*unread);
    }
    // The size a manifest must name: the update's, which the digest was
    // just taken of.
    struct stat status;
    if (::stat(update_file, &status) != 0 || !S_ISREG(status.st_mode)) {
        return {std::string("cannot read ") + update_file + " to check its size", std::nullopt};
    }
    Verdict verdict = signature_verdict(std::get<std::string>(read), digest,
                                        static_cast<std::uint64_t>(status.st_size), trusted_keys());
    if (verdict.problem) {
        verdict.problem =
            std::string("bad signature in ") + update_signature + ": " + *verdict.problem;
    }
    return verdict;
}

}  // namespace updater
