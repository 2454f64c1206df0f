#include "platform/kernel/paged_arena.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/kernel/kernel.h"
#include "platform/kernel/verifier.h"

namespace platform {
namespace {

constexpr std::size_t kReservedBytes = std::size_t{256} << 20;

std::size_t PageSize() {
    return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

std::vector<PagedArena*>& LiveArenas() {
    static std::vector<PagedArena*> arenas;
    return arenas;
}

struct sigaction gPreviousHandler;

}  // namespace

void PagedArenaFault(int signal, void* info, void* context) {
    const void* address = static_cast<siginfo_t*>(info)->si_addr;
    for (PagedArena* arena : LiveArenas()) {
        if (arena->OnFault(address)) return;
    }
    // Not ours: let whoever handled faults before us (the sanitizer, or the default
    // action) deal with it.
    if (gPreviousHandler.sa_flags & SA_SIGINFO) {
        gPreviousHandler.sa_sigaction(signal, static_cast<siginfo_t*>(info), context);
        return;
    }
    sigaction(SIGSEGV, &gPreviousHandler, nullptr);
}

void PagedArena::InstallFaultHandler() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    struct sigaction action = {};
    action.sa_sigaction = [](int signal, siginfo_t* info, void* context) {
        PagedArenaFault(signal, info, context);
    };
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &gPreviousHandler);
}

PagedArena::PagedArena() : reserved_(kReservedBytes) {
    void* region =
        mmap(nullptr, reserved_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (region == MAP_FAILED) {
        std::perror("paged pool arena");
        std::abort();
    }
    base_ = static_cast<char*>(region);
    InstallFaultHandler();
    LiveArenas().push_back(this);
}

PagedArena::~PagedArena() {
    auto& arenas = LiveArenas();
    arenas.erase(std::remove(arenas.begin(), arenas.end(), this), arenas.end());
    munmap(base_, reserved_);
}

void* PagedArena::Allocate(std::size_t bytes) {
    const std::size_t page = PageSize();
    const std::size_t size = std::max<std::size_t>(1, (bytes + page - 1) / page) * page;
    std::size_t offset = highWater_;
    // First fit among freed runs, else more of the reserve.
    auto fit =
        std::find_if(free_.begin(), free_.end(), [&](auto& run) { return run.second >= size; });
    if (fit != free_.end()) {
        offset = fit->first;
        const std::size_t rest = fit->second - size;
        free_.erase(fit);
        if (rest > 0) free_[offset + size] = rest;
    } else {
        if (highWater_ + size > reserved_) return nullptr;
        highWater_ += size;
    }
    live_[offset] = size;
    char* block = base_ + offset;
    // Accessible now unless the arena is guarded, in which case the allocation
    // itself was a violation that already ended the run.
    mprotect(block, size, protected_ ? PROT_NONE : PROT_READ | PROT_WRITE);
    return block;
}

void PagedArena::Free(void* block) {
    const std::size_t offset = static_cast<std::size_t>(static_cast<char*>(block) - base_);
    auto it = live_.find(offset);
    if (it == live_.end()) return;
    const std::size_t size = it->second;
    live_.erase(it);
    // Freed pages become inaccessible, so a use after free faults too.
    mprotect(block, size, PROT_NONE);
    free_[offset] = size;
    // Merge with the following and preceding free runs.
    auto run = free_.find(offset);
    if (auto next = std::next(run);
        next != free_.end() && run->first + run->second == next->first) {
        run->second += next->second;
        free_.erase(next);
    }
    if (run != free_.begin()) {
        auto previous = std::prev(run);
        if (previous->first + previous->second == run->first) {
            previous->second += run->second;
            free_.erase(run);
        }
    }
}

bool PagedArena::Contains(const void* address) const {
    const char* p = static_cast<const char*>(address);
    return p >= base_ && p < base_ + reserved_;
}

void PagedArena::SetGuarded(bool guarded) {
    guarded_ = guarded;
    const bool wantProtected = guarded && !live_.empty();
    if (wantProtected != protected_) Protect(wantProtected);
}

void PagedArena::Protect(bool inaccessible) {
    protected_ = inaccessible;
    for (const auto& [offset, size] : live_) {
        mprotect(base_ + offset, size, inaccessible ? PROT_NONE : PROT_READ | PROT_WRITE);
    }
}

bool PagedArena::OnFault(const void* address) {
    if (!Contains(address)) return false;
    const std::size_t offset = static_cast<std::size_t>(static_cast<const char*>(address) - base_);
    auto block = live_.upper_bound(offset);
    const bool inLiveBlock =
        block != live_.begin() && offset < std::prev(block)->first + std::prev(block)->second;
    if (!inLiveBlock || !protected_) return false;  // a use after free, or a stray pointer
    // Reopen so the faulting instruction completes; the run ends at the thread's
    // next safe point.
    Protect(false);
    if (Kernel* kernel = Kernel::CurrentOrNull()) {
        kernel->RecordViolation(Violation::kPagedPoolAtDispatch);
        kernel->scheduler().FaultLater(
            std::string("DRIVER VERIFIER: ") + ViolationName(Violation::kPagedPoolAtDispatch) +
            ": paged pool touched by thread '" + kernel->CurrentThreadName() + "'");
    }
    return true;
}

}  // namespace platform
