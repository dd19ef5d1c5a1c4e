#pragma once
// An open file descriptor that closes with its owner.

#include <unistd.h>

#include <utility>

namespace quelmar::linux_host {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    // The descriptor held before is closed at once.
    Fd& operator=(Fd other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    explicit operator bool() const { return fd_ >= 0; }
    int get() const { return fd_; }

private:
    int fd_;
};

}  // namespace quelmar::linux_host
