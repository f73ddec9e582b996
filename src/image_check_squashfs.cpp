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
    std::string superblock(squashfs_superblock_size, '\0');
    std::size_t length = 0;
    while (length < superblock.size()) {
        const ssize_t got = ::pread(fd.get(), superblock.data() + length,
                                    superblock.size() - length, static_cast<off_t>(length));
        if (got == 0) {
            break;
        }
        if (got < 0 && errno != EINTR) {
            return what + "cannot read it: " + std::strerror(errno);
        }
        length += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    superblock.resize(length);
    if (std::optional<std::string> problem =
            squashfs_problem(superblock, static_cast<std::uint64_t>(status.st_size))) {
        return what + *problem;
    }
    return std::nullopt;
}

}  // namespace updater
