// Ownership of file descriptors.
#pragma once

#include <unistd.h>

#include <utility>

namespace updater {

/// Owns a file descriptor (or none, when negative) and closes it when it goes
/// out of scope or is reset. Movable, not copyable.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    /// The descriptor, or a negative value when there is none.
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }

    /// Closes the descriptor held, if any, and holds `fd` instead.
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_;
};

}  // namespace updater
