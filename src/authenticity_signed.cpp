// A build with a signing key: an update is installed only with a signature.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "authenticity.hpp"
#include "constants.hpp"
#include "descriptor.hpp"
#include "signify.hpp"

namespace updater {

/// The key this build trusts (generated from the key file it was built with).
extern const SignifyPublicKey signing_key;

namespace {

/// Larger than any signature file signify writes (a comment line of at most
/// 1 KiB and a line of 100 base64 characters).
constexpr off_t signature_size_limit = 2048;

/// The contents of the signature file at `path`, when it is a non-empty
/// regular file of at most signature_size_limit bytes; otherwise
/// std::nullopt, with why in `problem`.
std::optional<std::string> read_signature_file(const char* path, std::string& problem) {
    struct stat status;
    if (::stat(path, &status) != 0) {
        problem = std::string("no signature: cannot read ") + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    // O_NONBLOCK: should a FIFO take the regular file's place after the
    // check, opening it does not wait for a writer.
    const FileDescriptor fd(
        S_ISREG(status.st_mode) ? ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1);
    if (S_ISREG(status.st_mode) && (!fd.valid() || ::fstat(fd.get(), &status) != 0)) {
        problem = std::string("no signature: cannot read ") + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(status.st_mode)) {
        problem = std::string("no signature: ") + path + " is not a regular file";
        return std::nullopt;
    }
    if (status.st_size == 0 || status.st_size > signature_size_limit) {
        problem = std::string("no signature: ") + path +
                  (status.st_size == 0 ? " is empty" : " is too large for a signature");
        return std::nullopt;
    }
    std::string text(static_cast<std::size_t>(status.st_size) + 1, '\0');
    std::size_t length = 0;
    while (length < text.size()) {
        const ssize_t got = ::read(fd.get(), text.data() + length, text.size() - length);
        if (got == 0) {
            break;
        }
        if (got < 0 && errno != EINTR) {
            problem =
                std::string("no signature: cannot read ") + path + ": " + std::strerror(errno);
            return std::nullopt;
        }
        length += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    // A file that grew while it was read is not taken either.
    if (length != static_cast<std::size_t>(status.st_size)) {
        problem = std::string("no signature: ") + path + " changed while it was read";
        return std::nullopt;
    }
    text.resize(length);
    return text;
}

}  // namespace

std::optional<std::string> authenticity_problem(const std::string& digest) {
    std::string problem;
    const std::optional<std::string> signature = read_signature_file(update_signature, problem);
    if (!signature) {
        return problem;
    }
    if (const std::optional<std::string> bad =
            signature_problem(*signature, digest + "\n", signing_key)) {
        return std::string("bad signature in ") + update_signature + ": " + *bad;
    }
    return std::nullopt;
}

}  // namespace updater
