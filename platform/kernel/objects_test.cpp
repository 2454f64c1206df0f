#include <vector>

#include "platform/kernel/kernel_fixture.h"

namespace platform::testing {
namespace {

constexpr ULONG kPcNw = PoolTag("PcNw");

struct Item {
    int value;
    LIST_ENTRY link;
};

std::vector<int> Values(LIST_ENTRY* head) {
    std::vector<int> values;
    for (LIST_ENTRY* e = head->Flink; e != head; e = e->Flink) {
        values.push_back(CONTAINING_RECORD(e, Item, link)->value);
    }
    return values;
}

TEST(ListEntry, BehavesAsAFifoAndADeque) {
    LIST_ENTRY head;
    InitializeListHead(&head);
    EXPECT_TRUE(IsListEmpty(&head));
    Item items[4] = {{1, {}}, {2, {}}, {3, {}}, {4, {}}};
    InsertTailList(&head, &items[1].link);
    InsertTailList(&head, &items[2].link);
    InsertHeadList(&head, &items[0].link);
    InsertTailList(&head, &items[3].link);
    EXPECT_EQ(Values(&head), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_FALSE(RemoveEntryList(&items[2].link));
    EXPECT_EQ(CONTAINING_RECORD(RemoveHeadList(&head), Item, link)->value, 1);
    EXPECT_EQ(CONTAINING_RECORD(RemoveTailList(&head), Item, link)->value, 4);
    EXPECT_EQ(Values(&head), (std::vector<int>{2}));
    EXPECT_TRUE(RemoveEntryList(&items[1].link)) << "the list is empty after the last removal";
    EXPECT_TRUE(IsListEmpty(&head));
    EXPECT_EQ(RemoveHeadList(&head), &head) << "an empty list gives its head";
}

// A driver object that records its destruction.
class Widget : public KernelObject {
  public:
    explicit Widget(bool* destroyed) : destroyed_(destroyed) {}
    int zeroed = 7;  // set by the constructor; the rest of the object came zero-filled

  protected:
    ~Widget() override { *destroyed_ = true; }

  private:
    bool* destroyed_;
};

using Objects = KernelTest;

TEST_F(Objects, TheLastReleaseDestroysAndFreesToThePool) {
    RunOk([&] {
        bool destroyed = false;
        Widget* widget = new (NonPagedPool, kPcNw) Widget(&destroyed);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(kernel_.pool().Counters(kPcNw).blocksOutstanding(), 1u);
        EXPECT_EQ(widget->AddRef(), 2u);

        PVOID same = nullptr;
        EXPECT_EQ(widget->QueryInterface(IID_IKernelObject, &same), STATUS_SUCCESS);
        EXPECT_EQ(same, widget);
        PVOID none = widget;
        EXPECT_EQ(Nt{widget->QueryInterface(GUID_NULL, &none)}, Nt{STATUS_NOINTERFACE});
        EXPECT_EQ(none, nullptr);

        EXPECT_EQ(widget->Release(), 2u);
        EXPECT_EQ(widget->Release(), 1u);
        EXPECT_FALSE(destroyed);
        EXPECT_EQ(widget->Release(), 0u);
        EXPECT_TRUE(destroyed);
        EXPECT_EQ(kernel_.pool().Counters(kPcNw).blocksOutstanding(), 0u);
    });
}

TEST_F(Objects, AFailedAllocationGivesNullAndConstructsNothing) {
    RunOk([&] {
        kernel_.pool().FailTag(kPcNw);
        bool destroyed = false;
        Widget* widget = new (NonPagedPool, kPcNw) Widget(&destroyed);
        EXPECT_EQ(widget, nullptr);
    });
}

TEST_F(Objects, InterlockedOperationsGiveWindowsResults) {
    RunOk([] {
        volatile LONG value = 5;
        EXPECT_EQ(InterlockedIncrement(&value), 6);
        EXPECT_EQ(InterlockedDecrement(&value), 5);
        EXPECT_EQ(InterlockedExchangeAdd(&value, 10), 5);
        EXPECT_EQ(InterlockedExchange(&value, 1), 15);
        EXPECT_EQ(InterlockedCompareExchange(&value, 9, 2), 1) << "no exchange: not equal";
        EXPECT_EQ(InterlockedCompareExchange(&value, 9, 1), 1);
        EXPECT_EQ(value, 9);
        EXPECT_EQ(InterlockedOr(&value, 6), 9);
        EXPECT_EQ(InterlockedAnd(&value, 3), 15);
        EXPECT_EQ(value, 3);
        int a = 0, b = 0;
        PVOID volatile pointer = &a;
        EXPECT_EQ(InterlockedCompareExchangePointer(&pointer, &b, &a), &a);
        EXPECT_EQ(InterlockedExchangePointer(&pointer, nullptr), &b);
    });
}

}  // namespace
}  // namespace platform::testing
