// Kernel pool: tagged allocations with per-tag counters, a leak report, failure
// injection and the verifier's checks. Non-paged pool comes from the C++ heap (so
// the address sanitizer watches it); paged pool comes from its own arena, which is
// made inaccessible while the running thread is at DISPATCH_LEVEL, so touching it
// there is caught as it happens.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "platform/core/types.h"
#include "platform/kernel/paged_arena.h"
#include "platform/sched/stress_random.h"

enum POOL_TYPE {
    NonPagedPool = 0,
    PagedPool = 1,
    NonPagedPoolNx = 512,
};

// The tag whose bytes read `text` in memory, as pool dumps show it: PoolTag("Buac").
constexpr ULONG PoolTag(const char (&text)[5]) {
    return static_cast<ULONG>(static_cast<UCHAR>(text[0])) |
           static_cast<ULONG>(static_cast<UCHAR>(text[1])) << 8 |
           static_cast<ULONG>(static_cast<UCHAR>(text[2])) << 16 |
           static_cast<ULONG>(static_cast<UCHAR>(text[3])) << 24;
}

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag);
// The same, zero-filled.
PVOID ExAllocatePoolZero(POOL_TYPE type, SIZE_T bytes, ULONG tag);
void ExFreePoolWithTag(PVOID block, ULONG tag);
void ExFreePool(PVOID block);

namespace platform {

std::string TagName(ULONG tag);  // "Buac"

struct TagCounters {
    std::uint64_t allocations = 0;  // successful ones
    std::uint64_t frees = 0;
    std::uint64_t failures = 0;  // injected or refused
    std::uint64_t bytesOutstanding = 0;
    std::uint64_t peakBytes = 0;
    std::uint64_t blocksOutstanding() const { return allocations - frees; }
    friend bool operator==(const TagCounters&, const TagCounters&) = default;
};

class Pool {
  public:
    Pool();
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag);
    // `tag` is checked against the block's unless it is nullopt (ExFreePool).
    void Free(PVOID block, std::optional<ULONG> tag);

    // --- failure injection: an allocation fails when any armed rule says so ---
    // Fail allocations with `tag`, after letting `skip` of them succeed, `times` times
    // (0: every one).
    void FailTag(ULONG tag, std::uint64_t skip = 0, std::uint64_t times = 0);
    // Fail the allocation `n` allocations from now (n = 0: the next one), any tag.
    void FailNth(std::uint64_t n);
    // Fail each allocation with probability 1 / oneIn, from `seed`.
    void FailRandomly(std::uint64_t seed, std::uint64_t oneIn);
    void ClearFailures();

    TagCounters Counters(ULONG tag) const;
    std::uint64_t TotalAllocations() const { return sequence_; }
    std::size_t BlocksOutstanding() const { return blocks_.size(); }
    // One line per outstanding block, oldest first: "tag 'PcNw' non-paged 136 bytes
    // (allocation #3)". Empty when nothing is outstanding.
    std::string LeakReport() const;
    // Fails the run when blocks are outstanding (called when a driver unloads).
    void CheckUnload(const std::string& driverName);

    // Follows the running thread's IRQL: paged pool is inaccessible at DISPATCH_LEVEL.
    void GuardPaged(bool guarded) { arena_.SetGuarded(guarded); }

  private:
    struct Block {
        ULONG tag;
        POOL_TYPE type;
        SIZE_T bytes;
        std::uint64_t sequence;
    };
    struct TagRule {
        ULONG tag;
        std::uint64_t skip;
        std::uint64_t times;  // 0: unlimited
        std::uint64_t seen = 0;
        std::uint64_t failed = 0;
    };
    bool ShouldFail(ULONG tag);

    std::unordered_map<void*, Block> blocks_;
    std::unordered_set<void*> freed_;
    std::map<ULONG, TagCounters> counters_;
    std::vector<TagRule> tagRules_;
    std::optional<std::uint64_t> failAtSequence_;
    std::optional<StressRandom> random_;
    std::uint64_t randomOneIn_ = 0;
    std::uint64_t sequence_ = 0;
    PagedArena arena_;
};

}  // namespace platform
