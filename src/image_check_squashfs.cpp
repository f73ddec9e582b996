// A build that installs only whole squashfs images.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "constants.hpp"
#include "descriptor.hpp"
#include "image_check.hpp"
#include "squashfs.hpp"

namespace updater {
namespace {

/// The `length` bytes at `offset` of the open file `fd`: as many as the file
/// has there (fewer at its end), or std::nullopt on a read error.
std::optional<std::string> read_at(int fd, std::uint64_t offset, std::size_t length) {
    std::string bytes(length, '\0');
    std::size_t got_all = 0;
    while (got_all < length) {
        const ssize_t got = ::pread(fd, bytes.data() + got_all, length - got_all,
                                    static_cast<off_t>(offset + got_all));
        if (got == 0) {
            break;
        }
        if (got < 0 && errno != EINTR) {
            return std::nullopt;
        }
        got_all += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    bytes.resize(got_all);
    return bytes;
}

}  // namespace

std::optional<std::string> update_image_problem() {
    const std::string what = std::string(update_file) + " is no whole squashfs image: ";
    const FileDescriptor fd(::open(update_file, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status;
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0) {
        return what + "cannot read it: " + std::strerror(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return what + "it is not a regular file";
    }
    const ImageReader read = [&fd](std::uint64_t offset,
                                   std::size_t length) -> std::optional<std::string> {
        std::optional<std::string> bytes = read_at(fd.get(), offset, length);
        return bytes && bytes->size() == length ? bytes : std::nullopt;
    };
    const std::optional<std::string> superblock = read_at(fd.get(), 0, squashfs_superblock_size);
    if (!superblock) {
        return what + "cannot read its superblock: " + std::strerror(errno);
    }
    std::optional<std::string> problem =
        squashfs_problem(*superblock, static_cast<std::uint64_t>(status.st_size));
    if (!problem) {
        problem = squashfs_tables_problem(*superblock, read);
    }
    return problem ? std::optional<std::string>(what + *problem) : std::nullopt;
}

}  // namespace updater
