// Intrusive doubly linked lists, as the kernel's LIST_ENTRY: the links live inside
// the listed objects, so listing and unlisting never allocate.
#pragma once

#include "platform/core/types.h"

struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};
using PLIST_ENTRY = LIST_ENTRY*;

inline void InitializeListHead(LIST_ENTRY* head) {
    head->Flink = head->Blink = head;
}

inline bool IsListEmpty(const LIST_ENTRY* head) {
    return head->Flink == head;
}

inline void InsertHeadList(LIST_ENTRY* head, LIST_ENTRY* entry) {
    LIST_ENTRY* first = head->Flink;
    entry->Flink = first;
    entry->Blink = head;
    first->Blink = entry;
    head->Flink = entry;
}

inline void InsertTailList(LIST_ENTRY* head, LIST_ENTRY* entry) {
    LIST_ENTRY* last = head->Blink;
    entry->Flink = head;
    entry->Blink = last;
    last->Flink = entry;
    head->Blink = entry;
}

// Unlinks `entry`; true when the list is empty afterwards.
inline bool RemoveEntryList(LIST_ENTRY* entry) {
    LIST_ENTRY* next = entry->Flink;
    LIST_ENTRY* previous = entry->Blink;
    previous->Flink = next;
    next->Blink = previous;
    return next == previous;
}

// Unlinks and gives the first entry; on an empty list gives the head itself.
inline LIST_ENTRY* RemoveHeadList(LIST_ENTRY* head) {
    LIST_ENTRY* entry = head->Flink;
    RemoveEntryList(entry);
    return entry;
}

inline LIST_ENTRY* RemoveTailList(LIST_ENTRY* head) {
    LIST_ENTRY* entry = head->Blink;
    RemoveEntryList(entry);
    return entry;
}
