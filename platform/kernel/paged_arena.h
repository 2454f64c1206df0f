// The memory behind paged pool: one reserved region handed out in whole pages, so
// that a single protection change makes all of it inaccessible while the running
// thread is at DISPATCH_LEVEL. A touch there faults; the fault handler reopens the
// region, reports the violation, and lets the instruction complete, so the run
// ends with a report instead of a crash.
#pragma once

#include <cstddef>
#include <map>

namespace platform {

class PagedArena {
  public:
    PagedArena();
    ~PagedArena();
    PagedArena(const PagedArena&) = delete;
    PagedArena& operator=(const PagedArena&) = delete;

    void* Allocate(std::size_t bytes);  // null when the arena is full
    void Free(void* block);
    bool Contains(const void* address) const;
    // Inaccessible while guarded (only regions with live blocks cost a system call).
    void SetGuarded(bool guarded);
    bool IsGuarded() const { return guarded_; }

  private:
    static void InstallFaultHandler();
    friend void PagedArenaFault(int, void*, void*);
    bool OnFault(const void* address);
    void Protect(bool inaccessible);

    char* base_;
    std::size_t reserved_;
    std::size_t highWater_ = 0;                // bytes handed out so far, from base_
    std::map<std::size_t, std::size_t> free_;  // offset -> bytes of free page runs
    std::map<std::size_t, std::size_t> live_;  // offset -> bytes of live blocks
    bool guarded_ = false;
    bool protected_ = false;
};

}  // namespace platform
