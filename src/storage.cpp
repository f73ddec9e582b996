#include "storage.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

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

/// Fsyncs the directory `directory`, so the entries in it are on storage.
bool fsync_directory(const char* directory) {
    return fsync_path(directory, O_RDONLY | O_DIRECTORY);
}

}  // namespace

bool flush_to_storage(const char* path, const char* directory) {
    return fsync_path(path, O_RDONLY) && fsync_directory(directory);
}

bool create_durably(const char* path, const char* directory) {
    const FileDescriptor fd(::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    return fd.get() >= 0 && ::fsync(fd.get()) == 0 && fsync_directory(directory);
}

bool remove_durably(const char* path, const char* directory) {
    return (::unlink(path) == 0 || errno == ENOENT) && fsync_directory(directory);
}

bool exists(const char* path) {
    struct stat status;
    return ::lstat(path, &status) == 0;
}

}  // namespace updater
