// A move-only owner of one file descriptor: the engines' ends of their children's pipes, the
// locks' and the mail directories' descriptors.
//
// Guarantees: the descriptor is closed exactly once, when the owner is destroyed, reset or
// closed explicitly. The destructor never fails towards its caller.
//
// DIAGNOSTICS: close() returns 0 or the errno of a failed close; the descriptor counts as
// released either way, because Linux frees it even when close reports an error.
#pragma once

#include <cerrno>
#include <unistd.h>

namespace corvo {

class Descriptor {
public:
    Descriptor() noexcept = default;
    explicit Descriptor(int fd) noexcept : fd_(fd) {}
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.release();
        }
        return *this;
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { close(); }

    int get() const noexcept { return fd_; }
    bool isOpen() const noexcept { return fd_ >= 0; }

    // Gives up ownership; returns the descriptor (or -1).
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // Closes the descriptor when open; returns 0 or the errno of the failure. An EINTR is
    // taken as success: Linux has released the descriptor by then, and a second close could
    // hit a descriptor that was reused meanwhile. errno is left unchanged.
    int close() noexcept {
        if (fd_ < 0) {
            return 0;
        }
        int saved = errno;
        int result = ::close(fd_) == 0 || errno == EINTR ? 0 : errno;
        fd_ = -1;
        errno = saved;
        return result;
    }

private:
    int fd_ = -1;
};

} // namespace corvo
