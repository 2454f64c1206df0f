#include <cstring>

#include "platform/kernel/kernel_fixture.h"

namespace platform::testing {
namespace {

constexpr ULONG kBuac = PoolTag("Buac");
constexpr ULONG kPcNw = PoolTag("PcNw");

using PoolTest = KernelTest;

TEST_F(PoolTest, TagsReadAsTheyAreWrittenInMemory) {
    EXPECT_EQ(TagName(kBuac), "Buac");
    ULONG tag = kPcNw;
    EXPECT_EQ(std::memcmp(&tag, "PcNw", 4), 0);
}

TEST_F(PoolTest, CountsPerTag) {
    RunOk([&] {
        void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kBuac);
        void* b = ExAllocatePoolZero(NonPagedPoolNx, 40, kBuac);
        void* c = ExAllocatePoolWithTag(PagedPool, 5000, kPcNw);
        ASSERT_TRUE(a && b && c);
        EXPECT_EQ(static_cast<unsigned char*>(b)[39], 0);
        std::memset(c, 0xAB, 5000);  // paged pool is usable at PASSIVE_LEVEL
        ExFreePoolWithTag(a, kBuac);
        const TagCounters buac = kernel_.pool().Counters(kBuac);
        EXPECT_EQ(buac.allocations, 2u);
        EXPECT_EQ(buac.frees, 1u);
        EXPECT_EQ(buac.bytesOutstanding, 40u);
        EXPECT_EQ(buac.peakBytes, 140u);
        EXPECT_EQ(kernel_.pool().Counters(kPcNw).bytesOutstanding, 5000u);
        ExFreePool(b);
        ExFreePoolWithTag(c, kPcNw);
        EXPECT_EQ(kernel_.pool().BlocksOutstanding(), 0u);
    });
}

TEST_F(PoolTest, InjectedFailures) {
    RunOk([&] {
        Pool& pool = kernel_.pool();
        auto allocate = [](ULONG tag) { return ExAllocatePoolWithTag(NonPagedPool, 8, tag); };
        // By tag: skip one, then fail two.
        pool.FailTag(kBuac, /*skip=*/1, /*times=*/2);
        void* first = allocate(kBuac);
        EXPECT_NE(first, nullptr);
        EXPECT_EQ(allocate(kBuac), nullptr);
        void* other = allocate(kPcNw);
        EXPECT_NE(other, nullptr) << "another tag is untouched";
        EXPECT_EQ(allocate(kBuac), nullptr);
        void* third = allocate(kBuac);
        EXPECT_NE(third, nullptr) << "the rule is spent";
        EXPECT_EQ(pool.Counters(kBuac).failures, 2u);
        pool.ClearFailures();

        // By count: the third allocation from now, whatever its tag.
        pool.FailNth(2);
        void* n0 = allocate(kPcNw);
        void* n1 = allocate(kBuac);
        EXPECT_TRUE(n0 && n1);
        EXPECT_EQ(allocate(kPcNw), nullptr);
        void* n3 = allocate(kPcNw);
        EXPECT_NE(n3, nullptr);

        // At random from a seed: the same seed fails the same allocations.
        auto pattern = [&](std::uint64_t seed) {
            pool.FailRandomly(seed, 3);
            std::string failed;
            for (int i = 0; i < 30; ++i) {
                void* block = allocate(kBuac);
                failed += block ? '.' : 'x';
                if (block) ExFreePool(block);
            }
            pool.ClearFailures();
            return failed;
        };
        const std::string once = pattern(9);
        EXPECT_EQ(pattern(9), once);
        EXPECT_NE(once.find('x'), std::string::npos);
        EXPECT_NE(once.find('.'), std::string::npos);

        for (void* block : {first, other, third, n0, n1, n3}) ExFreePool(block);
    });
}

TEST_F(PoolTest, LeakReportNamesTagTypeAndSizeOldestFirst) {
    RunOk([&] {
        void* kept = ExAllocatePoolWithTag(NonPagedPool, 176, kBuac);
        void* freed = ExAllocatePoolWithTag(NonPagedPool, 1, kBuac);
        void* paged = ExAllocatePoolWithTag(PagedPool, 24, kPcNw);
        ExFreePool(freed);
        EXPECT_EQ(kernel_.pool().LeakReport(),
                  "tag 'Buac' non-paged 176 bytes (allocation #1)\n"
                  "tag 'PcNw' paged 24 bytes (allocation #3)\n");
        ExFreePool(kept);
        ExFreePool(paged);
        EXPECT_EQ(kernel_.pool().LeakReport(), "");
    });
}

}  // namespace
}  // namespace platform::testing
