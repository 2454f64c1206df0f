#include "platform/kernel/pool.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "platform/kernel/kernel.h"
#include "platform/kernel/verifier.h"

namespace platform {
namespace {

bool IsPaged(POOL_TYPE type) {
    return type == PagedPool;
}

const char* TypeName(POOL_TYPE type) {
    return IsPaged(type) ? "paged" : "non-paged";
}

}  // namespace

std::string TagName(ULONG tag) {
    std::string name(4, ' ');
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        name[i] = (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return name;
}

Pool::Pool() = default;

Pool::~Pool() {
    // Whatever a test left behind goes back to the heap; reporting it is CheckUnload's.
    for (auto& [address, block] : blocks_) {
        if (IsPaged(block.type)) {
            arena_.Free(address);
        } else {
            std::free(address);
        }
    }
}

PVOID Pool::Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    const KIRQL irql = KeGetCurrentIrql();
    if (IsPaged(type) && irql >= DISPATCH_LEVEL) {
        VerifierViolation(Violation::kPagedPoolAtDispatch,
                          "paged allocation of " + std::to_string(bytes) + " bytes, tag '" +
                              TagName(tag) + "', at " + IrqlName(irql));
    }
    if (irql > DISPATCH_LEVEL) {
        VerifierViolation(Violation::kIrqlMisuse,
                          std::string("pool allocation at ") + IrqlName(irql));
    }
    TagCounters& counters = counters_[tag];
    ++sequence_;
    if (ShouldFail(tag)) {
        ++counters.failures;
        return nullptr;
    }
    // Zero-byte requests still get a distinct block, as on Windows.
    void* address =
        IsPaged(type) ? arena_.Allocate(bytes) : std::malloc(std::max<SIZE_T>(bytes, 1));
    if (address == nullptr) {
        ++counters.failures;
        return nullptr;
    }
    blocks_[address] = {tag, type, bytes, sequence_};
    freed_.erase(address);
    ++counters.allocations;
    counters.bytesOutstanding += bytes;
    counters.peakBytes = std::max(counters.peakBytes, counters.bytesOutstanding);
    return address;
}

void Pool::Free(PVOID address, std::optional<ULONG> tag) {
    auto it = blocks_.find(address);
    if (it == blocks_.end()) {
        std::ostringstream detail;
        detail << (freed_.count(address) ? "block freed twice" : "free of memory pool never gave");
        if (tag) detail << ", tag '" << TagName(*tag) << "'";
        VerifierViolation(Violation::kDoubleFree, detail.str());
    }
    const Block block = it->second;
    if (tag && *tag != block.tag) {
        VerifierViolation(Violation::kWrongTag, "block of tag '" + TagName(block.tag) + "', " +
                                                    std::to_string(block.bytes) +
                                                    " bytes, freed with tag '" + TagName(*tag) +
                                                    "'");
    }
    const KIRQL irql = KeGetCurrentIrql();
    if (IsPaged(block.type) && irql >= DISPATCH_LEVEL) {
        VerifierViolation(
            Violation::kPagedPoolAtDispatch,
            "paged block of tag '" + TagName(block.tag) + "' freed at " + IrqlName(irql));
    }
    blocks_.erase(it);
    freed_.insert(address);
    TagCounters& counters = counters_[block.tag];
    ++counters.frees;
    counters.bytesOutstanding -= block.bytes;
    if (IsPaged(block.type)) {
        arena_.Free(address);
    } else {
        std::free(address);
    }
}

bool Pool::ShouldFail(ULONG tag) {
    bool fail = false;
    if (failAtSequence_ && *failAtSequence_ == sequence_) {
        fail = true;
        failAtSequence_.reset();
    }
    for (TagRule& rule : tagRules_) {
        if (rule.tag != tag) continue;
        const bool skipping = rule.seen++ < rule.skip;
        const bool exhausted = rule.times != 0 && rule.failed >= rule.times;
        if (!skipping && !exhausted) {
            ++rule.failed;
            fail = true;
        }
    }
    if (random_ && random_->OneIn(randomOneIn_)) fail = true;
    return fail;
}

void Pool::FailTag(ULONG tag, std::uint64_t skip, std::uint64_t times) {
    tagRules_.push_back({tag, skip, times});
}

void Pool::FailNth(std::uint64_t n) {
    failAtSequence_ = sequence_ + 1 + n;
}

void Pool::FailRandomly(std::uint64_t seed, std::uint64_t oneIn) {
    random_.emplace(seed);
    randomOneIn_ = std::max<std::uint64_t>(oneIn, 1);
}

void Pool::ClearFailures() {
    tagRules_.clear();
    failAtSequence_.reset();
    random_.reset();
}

TagCounters Pool::Counters(ULONG tag) const {
    auto it = counters_.find(tag);
    return it == counters_.end() ? TagCounters{} : it->second;
}

std::string Pool::LeakReport() const {
    std::vector<const Block*> outstanding;
    for (const auto& entry : blocks_) outstanding.push_back(&entry.second);
    std::sort(outstanding.begin(), outstanding.end(),
              [](const Block* a, const Block* b) { return a->sequence < b->sequence; });
    std::ostringstream report;
    for (const Block* block : outstanding) {
        report << "tag '" << TagName(block->tag) << "' " << TypeName(block->type) << " "
               << block->bytes << " bytes (allocation #" << block->sequence << ")\n";
    }
    return report.str();
}

void Pool::CheckUnload(const std::string& driverName) {
    if (blocks_.empty()) return;
    VerifierViolation(Violation::kPoolLeakAtUnload, driverName + " unloaded with " +
                                                        std::to_string(blocks_.size()) +
                                                        " block(s) outstanding:\n" + LeakReport());
}

}  // namespace platform

PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    return platform::Kernel::Current().pool().Allocate(type, bytes, tag);
}

PVOID ExAllocatePoolZero(POOL_TYPE type, SIZE_T bytes, ULONG tag) {
    PVOID block = ExAllocatePoolWithTag(type, bytes, tag);
    if (block != nullptr) std::memset(block, 0, bytes);
    return block;
}

void ExFreePoolWithTag(PVOID block, ULONG tag) {
    platform::Kernel::Current().pool().Free(block, tag);
}

void ExFreePool(PVOID block) {
    platform::Kernel::Current().pool().Free(block, std::nullopt);
}
