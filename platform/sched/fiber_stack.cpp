#include "platform/sched/fiber_stack.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace platform {

FiberStack::FiberStack(std::size_t usableBytes) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    size_ = (usableBytes + page - 1) / page * page;
    mappingBytes_ = size_ + page;
    mapping_ = mmap(nullptr, mappingBytes_, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (mapping_ == MAP_FAILED || mprotect(mapping_, page, PROT_NONE) != 0) {
        // Without a stack there is no fiber and no way to report through one.
        std::perror("fiber stack");
        std::abort();
    }
    bottom_ = static_cast<char*>(mapping_) + page;
}

FiberStack::~FiberStack() {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizer's marks of this fiber's frames would outlive the mapping and
    // poison whatever is mapped at the same address next.
    ASAN_UNPOISON_MEMORY_REGION(bottom_, size_);
#endif
    munmap(mapping_, mappingBytes_);
}

}  // namespace platform
