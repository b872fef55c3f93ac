#pragma once

// The owner of one file descriptor.

namespace km {

// Owns one file descriptor and closes it when it goes. Move-only.
class TUniqueFd {
  public:
    TUniqueFd() = default;
    explicit TUniqueFd(int fd) : fFd(fd) {}
    ~TUniqueFd() { Reset(); }
    TUniqueFd(TUniqueFd&& other) noexcept : fFd(other.Release()) {}
    TUniqueFd& operator=(TUniqueFd&& other) noexcept {
        if (this != &other) {
            Reset(other.Release());
        }
        return *this;
    }
    TUniqueFd(const TUniqueFd&) = delete;
    TUniqueFd& operator=(const TUniqueFd&) = delete;

    int Get() const { return fFd; }
    bool Valid() const { return fFd >= 0; }
    int Release() {
        const int fd = fFd;
        fFd = -1;
        return fd;
    }
    // Closes the descriptor held so far and takes fd; returns close()'s
    // errno (0 when it succeeded or nothing was held).
    int Reset(int fd = -1);

  private:
    int fFd = -1;
};

}  // namespace km
