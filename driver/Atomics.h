/* Whole-value atomic loads and stores for the fields that requests on other
   threads read without a lock (the pipe's owner, views and event, and the
   block's words that two writers share). */
#pragma once

#include <wdm.h>
#include <stdint.h>

template <typename T>
T *LoadPointer(T *const volatile &field)
{
    return static_cast<T *>(InterlockedCompareExchangePointer(
        reinterpret_cast<PVOID volatile *>(const_cast<T *volatile *>(&field)), nullptr, nullptr));
}

template <typename T>
void StorePointer(T *volatile &field, T *value)
{
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile *>(&field), value);
}

inline uint32_t LoadWord(const volatile uint32_t &field)
{
    return static_cast<uint32_t>(
        InterlockedCompareExchange(reinterpret_cast<LONG volatile *>(const_cast<volatile uint32_t *>(&field)), 0, 0));
}

inline void StoreWord(volatile uint32_t &field, uint32_t value)
{
    InterlockedExchange(reinterpret_cast<LONG volatile *>(&field), static_cast<LONG>(value));
}
