// A fiber's stack: mapped memory with an inaccessible guard page below it, so an
// overflow faults at once instead of silently overwriting a neighbour.
#pragma once

#include <cstddef>

namespace platform {

class FiberStack {
  public:
    explicit FiberStack(std::size_t usableBytes);
    ~FiberStack();
    FiberStack(const FiberStack&) = delete;
    FiberStack& operator=(const FiberStack&) = delete;

    // The lowest usable address and the usable size (the guard page lies below).
    void* Bottom() const { return bottom_; }
    std::size_t Size() const { return size_; }

  private:
    void* mapping_;
    std::size_t mappingBytes_;
    void* bottom_;
    std::size_t size_;
};

}  // namespace platform
