#include "loop.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "constants.hpp"
#include "descriptor.hpp"

namespace updater {
namespace {

/// Closes a directory stream.
struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

/// True for the name of a loop device node: "loop" and digits only (not
/// "loop-control").
bool is_loop_name(std::string_view name) {
    constexpr std::string_view prefix = "loop";
    if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) {
        return false;
    }
    for (const char c : name.substr(prefix.size())) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    return true;
}

/// True when the loop device at `device` is bound to the file whose device
/// and inode `file` gives.
bool backs(const std::string& device, const struct stat& file) {
    const FileDescriptor fd(::open(device.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat node;
    if (!fd.valid() || ::fstat(fd.get(), &node) != 0 || !S_ISBLK(node.st_mode)) {
        return false;
    }
    struct loop_info64 info;
    std::memset(&info, 0, sizeof info);
    // An unbound loop device answers ENXIO.
    if (::ioctl(fd.get(), LOOP_GET_STATUS64, &info) != 0) {
        return false;
    }
    return info.lo_device == static_cast<std::uint64_t>(file.st_dev) &&
           info.lo_inode == static_cast<std::uint64_t>(file.st_ino);
}

}  // namespace

std::optional<std::string> loop_device_backed_by(const char* path) {
    struct stat file;
    if (::stat(path, &file) != 0 || !S_ISREG(file.st_mode)) {
        return std::nullopt;
    }
    const std::unique_ptr<DIR, DirectoryCloser> directory(::opendir(device_directory));
    if (!directory) {
        return std::nullopt;
    }
    while (const dirent* entry = ::readdir(directory.get())) {
        if (!is_loop_name(entry->d_name)) {
            continue;
        }
        const std::string device = std::string(device_directory) + "/" + entry->d_name;
        if (backs(device, file)) {
            return device;
        }
    }
    return std::nullopt;
}

}  // namespace updater
