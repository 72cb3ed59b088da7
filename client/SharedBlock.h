// Access to the block the driver shares with this process. The driver writes
// it concurrently, so every field is read and written as a whole with one
// aligned access, never cached by the compiler.
#pragma once

#include "CommonDataDesc.h"

namespace Ombrivo {

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
