// The one owner of an operating-system file descriptor: move-only, closes what it holds.
#pragma once

#include <utility>

namespace bw::platform {

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    // Gives up ownership without closing.
    int release() { return std::exchange(fd_, -1); }
    // Closes the held descriptor (if any) and holds `fd` instead.
    void reset(int fd = -1);
    // Closes now and reports whether the close succeeded: a close can be the first place a
    // failed write of buffered data shows. True when nothing was held.
    bool Close();

  private:
    int fd_ = -1;
};

}  // namespace bw::platform
