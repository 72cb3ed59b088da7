// Access to the block the driver shares with this process. The driver reads
// and writes it concurrently, so every field is read and written as a whole
// with one aligned access, never cached by the compiler: a relaxed atomic
// access, the same single move as a volatile one, which the language's memory
// model (and a race detector) also knows to be atomic against the driver's
// interlocked accesses to the same words.
#pragma once

#include "ControlProtocol.h"

namespace Ombrivo {

// What GetCommonData gives while there is no block: all zero and constant.
extern const CommonDataDesc NoBlock;

template <typename T>
inline T ReadShared(const T &field)
{
    return __atomic_load_n(static_cast<const volatile T *>(&field), __ATOMIC_RELAXED);
}

template <typename T>
inline void WriteShared(T &field, T value)
{
    __atomic_store_n(static_cast<volatile T *>(&field), value, __ATOMIC_RELAXED);
}

} // namespace Ombrivo
