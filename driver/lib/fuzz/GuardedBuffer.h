// Fuzz-target helper: a copy of the input that ends exactly where an
// inaccessible page begins, so that reading one byte too far faults.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

class GuardedBuffer {
public:
    // data may be null for an output buffer (left zeroed). writable: whether the code under test may write into the bytes (an
    // output buffer); input stays read-only so that a stray write faults too.
    GuardedBuffer(const void *data, size_t size, bool writable = false)
    {
        size_t page = size_t(sysconf(_SC_PAGESIZE));
        size_t dataPages = (size + page - 1) / page;
        span_ = (dataPages + 1) * page;
        void *base = mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED)
            abort();
        base_ = static_cast<uint8_t *>(base);
        if (mprotect(base_ + dataPages * page, page, PROT_NONE) != 0)
            abort();
        start_ = base_ + dataPages * page - size;
        if (size && data)
            memcpy(start_, data, size);
        if (!writable && dataPages && mprotect(base_, dataPages * page, PROT_READ) != 0)
            abort();
    }
    ~GuardedBuffer() { munmap(base_, span_); }
    GuardedBuffer(const GuardedBuffer &) = delete;
    GuardedBuffer &operator=(const GuardedBuffer &) = delete;

    template <typename T> T *As() const { return reinterpret_cast<T *>(start_); }

private:
    uint8_t *base_ = nullptr;
    uint8_t *start_ = nullptr;
    size_t span_ = 0;
};

// Stops the run when a property of the code under test does not hold.
#define FUZZ_REQUIRE(condition) \
    do {                        \
        if (!(condition))       \
            __builtin_trap();   \
    } while (0)
