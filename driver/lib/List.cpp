// The intrusive doubly linked list.
#include "KernelHelpers.h"

namespace Mosaik {

void ListHead::Init()
{
    First = nullptr;
    Last = nullptr;
    Count = 0;
}

void ListHead::PushBack(ListNode *node)
{
    node->Previous = Last;
    node->Next = nullptr;
    if (Last)
        Last->Next = node;
    else
        First = node;
    Last = node;
    ++Count;
}

ListNode *ListHead::Remove(ListNode *node)
{
    if (node->Previous)
        node->Previous->Next = node->Next;
    else
        First = node->Next;
    if (node->Next)
        node->Next->Previous = node->Previous;
    else
        Last = node->Previous;
    node->Previous = nullptr;
    node->Next = nullptr;
    --Count;
    return node;
}

ListNode *ListHead::PopFront() { return First ? Remove(First) : nullptr; }

} // namespace Mosaik
