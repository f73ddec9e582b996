#include "storage.hpp"

#include <fcntl.h>
#include <unistd.h>

namespace updater {
namespace {

/// Owns a file descriptor and closes it when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int get() const { return fd_; }

private:
    int fd_;
};

/// Opens `path` with `flags` and fsyncs it; true when both succeeded.
bool fsync_path(const char* path, int flags) {
    const FileDescriptor fd(::open(path, flags | O_CLOEXEC));
    return fd.get() >= 0 && ::fsync(fd.get()) == 0;
}

}  // namespace

bool flush_to_storage(const char* path, const char* directory) {
    return fsync_path(path, O_RDONLY) && fsync_path(directory, O_RDONLY | O_DIRECTORY);
}

}  // namespace updater
