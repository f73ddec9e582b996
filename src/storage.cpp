#include "storage.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console.hpp"
#include "process.hpp"

namespace updater {
namespace {

/// Opens `path` with `flags` and fsyncs it; true when both succeeded,
/// otherwise says why.
bool fsync_path(const char* path, int flags) {
    const FileDescriptor fd(::open(path, flags | O_CLOEXEC));
    if (!fd.valid() || ::fsync(fd.get()) != 0) {
        warn_error(std::string("cannot flush ") + path, errno);
        return false;
    }
    return true;
}

/// Fsyncs the directory `directory`, so the entries in it are on storage.
bool fsync_directory(const char* directory) {
    return fsync_path(directory, O_RDONLY | O_DIRECTORY);
}

}  // namespace

bool flush_to_storage(const char* path, const char* directory) {
    const FileDescriptor fd(::open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid() || ::fsync(fd.get()) != 0) {
        warn_error(std::string("cannot flush ") + path, errno);
        return false;
    }
    // Clean pages only: after the fsync, that is all of them.
    if (const int error = ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED); error != 0) {
        warn_error(std::string("cannot drop the cached pages of ") + path, error);
        return false;
    }
    return fsync_directory(directory);
}

bool create_durably(const char* path, const char* directory) {
    const FileDescriptor fd(::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!fd.valid() || ::fsync(fd.get()) != 0) {
        warn_error(std::string("cannot create ") + path, errno);
        return false;
    }
    return fsync_directory(directory);
}

bool remove_durably(const char* path, const char* directory) {
    // (A read-only file system refuses even to remove what is not there.)
    if (::unlink(path) != 0) {
        const int error = errno;
        if (error != ENOENT && exists(path)) {
            warn_error(std::string("cannot remove ") + path, error);
            return false;
        }
    }
    return fsync_directory(directory);
}

bool write_durably(const char* path, const char* temporary, std::string_view contents,
                   const char* directory) {
    // Whatever stands at the temporary name goes first: the file written is
    // always a new one, so another name of an old file there keeps its bytes.
    // (Nothing reads that name, so its removal need not be on storage.)
    if (::unlink(temporary) != 0 && errno != ENOENT) {
        warn_error(std::string("cannot remove ") + temporary, errno);
        return false;
    }
    {
        const FileDescriptor fd(::open(
            temporary, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644));
        std::size_t written = 0;
        while (fd.valid() && written < contents.size()) {
            const ssize_t n =
                ::write(fd.get(), contents.data() + written, contents.size() - written);
            if (n < 0 && errno != EINTR) {
                break;
            }
            written += n > 0 ? static_cast<std::size_t>(n) : 0;
        }
        if (!fd.valid() || written < contents.size() || ::fsync(fd.get()) != 0) {
            warn_error(std::string("cannot write ") + temporary, errno);
            // What was written holds blocks the next write may need.
            if (fd.valid()) {
                ::unlink(temporary);
            }
            return false;
        }
    }
    return rename_durably(temporary, path, directory);
}

bool rename_durably(const char* from, const char* to, const char* directory) {
    if (::rename(from, to) != 0) {
        warn_error(std::string("cannot rename ") + from + " to " + to, errno);
        return false;
    }
    return fsync_directory(directory);
}

std::optional<std::string> read_small_file(const char* path, std::size_t limit) {
    const FileDescriptor fd(::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat status;
    if (!fd.valid() || ::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<std::uint64_t>(status.st_size) > limit) {
        return std::nullopt;
    }
    std::string text(limit + 1, '\0');
    std::size_t length = 0;
    while (length < text.size()) {
        const ssize_t got = ::read(fd.get(), text.data() + length, text.size() - length);
        if (got == 0) {
            break;
        }
        if (got < 0 && errno != EINTR) {
            return std::nullopt;
        }
        length += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    if (length > limit) {
        return std::nullopt;
    }
    text.resize(length);
    return text;
}

bool exists(const char* path) {
    struct stat status;
    return ::lstat(path, &status) == 0;
}

std::optional<std::string> write_obstacle(const char* path) {
    struct stat status;
    if (::lstat(path, &status) != 0) {
        if (errno == ENOENT) {
            return std::nullopt;
        }
        return std::string("cannot look at ") + path + ": " + std::strerror(errno);
    }
    if (!S_ISREG(status.st_mode)) {
        return std::string(path) + " is not a regular file; nothing is written there";
    }
    return std::nullopt;
}

bool is_image_file(const char* path) {
    struct stat status;
    return ::lstat(path, &status) == 0 && S_ISREG(status.st_mode) && status.st_size > 0;
}

std::uint64_t held_bytes(const char* path) {
    struct stat status;
    if (::lstat(path, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1) {
        return 0;
    }
    return static_cast<std::uint64_t>(status.st_blocks) * 512;
}

std::uint64_t file_size(const char* path) {
    struct stat status;
    return ::stat(path, &status) == 0 ? static_cast<std::uint64_t>(status.st_size) : 0;
}

namespace {

/// ext4's superblock magic, as statfs gives it.
constexpr unsigned long ext4_magic = 0xEF53;
/// Bytes of a file per block of bookkeeping ext4 may need for it near full:
/// its extent blocks and what delayed allocation holds back for them (a
/// 218 MiB file on an empty 256 MiB partition left 149 blocks that root could
/// not write, beyond the clusters ext4 keeps); counted generously.
constexpr std::uint64_t ext4_bytes_per_bookkeeping_block = 1024 * 1024;

/// The clusters ext4 keeps for itself on the file system of device `device`
/// (its sysfs entry), or, where that cannot be read, what ext4 keeps by
/// default: 2 % of `blocks` or 4096, whichever is less.
std::uint64_t ext4_reserved_clusters(dev_t device, std::uint64_t blocks) {
    const std::string link =
        "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    char target[256];
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
    if (length > 0) {
        const std::string name = std::string(target, static_cast<std::size_t>(length));
        const std::string entry =
            "/sys/fs/ext4/" + name.substr(name.rfind('/') + 1) + "/reserved_clusters";
        if (const std::optional<std::string> text = read_small_file(entry.c_str(), 32)) {
            const std::uint64_t clusters = std::strtoull(text->c_str(), nullptr, 10);
            if (clusters > 0) {
                return clusters;
            }
        }
    }
    return std::min<std::uint64_t>(blocks / 50, 4096);
}

}  // namespace

std::optional<FreeRoom> free_room(const char* directory) {
    struct statfs status;
    struct stat folder;
    if (::statfs(directory, &status) != 0 || ::stat(directory, &folder) != 0 ||
        status.f_bsize <= 0) {
        return std::nullopt;
    }
    const std::uint64_t block = static_cast<std::uint64_t>(status.f_bsize);
    // Root may use the blocks the file system keeps for it, but for those
    // ext4 keeps for itself.
    std::uint64_t blocks = ::geteuid() == 0 ? status.f_bfree : status.f_bavail;
    std::uint64_t bookkeeping_every = 0;
    if (static_cast<unsigned long>(status.f_type) == ext4_magic) {
        if (::geteuid() == 0) {
            const std::uint64_t reserved = ext4_reserved_clusters(folder.st_dev, status.f_blocks);
            blocks -= std::min(blocks, reserved);
        }
        bookkeeping_every = ext4_bytes_per_bookkeeping_block;
    }
    return FreeRoom{block, blocks * block, bookkeeping_every};
}

bool leads_off(const char* path, const char* directory) {
    struct stat file;
    struct stat folder;
    return ::stat(path, &file) == 0 && ::stat(directory, &folder) == 0 &&
           file.st_dev != folder.st_dev;
}

bool same_file(const char* a, const char* b) {
    struct stat first;
    struct stat second;
    return ::stat(a, &first) == 0 && ::stat(b, &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

std::optional<FileDescriptor> lock_directory(const char* directory) {
    FileDescriptor fd(::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        warn_error(std::string("cannot lock ") + directory, errno);
        return std::nullopt;
    }
    while (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK && errno != EINTR) {
            warn_error(std::string("cannot lock ") + directory, errno);
            return std::nullopt;
        }
        // Another run holds it: wait, and give way to a stop request.
        if (wait_for_stop(100) != 0) {
            return std::nullopt;
        }
    }
    return fd;
}

}  // namespace updater
