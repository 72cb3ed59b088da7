// Access to the block the driver shares with this process. The driver writes
// it concurrently, so every field is read and written as a whole with one
// aligned access, never cached by the compiler.
#pragma once

#include "ControlProtocol.h"

namespace Ombrivo {

// What GetCommonData gives while there is no block: all zero and constant.
extern const CommonDataDesc NoBlock;

template <typename T>
inline T ReadShared(const T &field)
{
    return *static_cast<const volatile T *>(&field);
}

template <typename T>
inline void WriteShared(T &field, T value)
{
    *static_cast<volatile T *>(&field) = value;
}

} // namespace Ombrivo
