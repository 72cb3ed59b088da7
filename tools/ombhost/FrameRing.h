// A ring of frames between the event loop and the thread that reads or
// writes the file: one producer, one consumer, no lock and no allocation once
// made, so the loop never waits for the disk.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <atomic>
#include <vector>

namespace ombhost {

class FrameRing {
public:
    FrameRing(size_t frames, size_t frameBytes) : bytes(frames * frameBytes), frameBytes(frameBytes), capacity(frames) {}

    size_t Capacity() const { return capacity; }
    // Frames ready to read; from either side (the other may change it).
    size_t Available() const { return static_cast<size_t>(written.load(std::memory_order_acquire) - read.load(std::memory_order_acquire)); }

    // Producer: appends up to `count` frames; returns how many fitted.
    size_t Write(const void *frames, size_t count)
    {
        const uint64_t head = written.load(std::memory_order_relaxed);
        const size_t room = capacity - static_cast<size_t>(head - read.load(std::memory_order_acquire));
        if (count > room)
            count = room;
        CopyIn(static_cast<size_t>(head % capacity), static_cast<const uint8_t *>(frames), count);
        written.store(head + count, std::memory_order_release);
        return count;
    }

    // Consumer: takes up to `count` frames; returns how many there were.
    size_t Read(void *frames, size_t count)
    {
        const uint64_t tail = read.load(std::memory_order_relaxed);
        const size_t ready = static_cast<size_t>(written.load(std::memory_order_acquire) - tail);
        if (count > ready)
            count = ready;
        CopyOut(static_cast<size_t>(tail % capacity), static_cast<uint8_t *>(frames), count);
        read.store(tail + count, std::memory_order_release);
        return count;
    }

private:
    // The ring's frames from `at` on: up to two pieces, where they wrap.
    struct Pieces {
        size_t at[2], count[2];
    };
    Pieces Split(size_t at, size_t count) const
    {
        const size_t first = count < capacity - at ? count : capacity - at;
        return {{at, 0}, {first, count - first}};
    }
    void CopyIn(size_t at, const uint8_t *from, size_t count)
    {
        const Pieces p = Split(at, count);
        for (int i = 0; i < 2; ++i) {
            memcpy(&bytes[p.at[i] * frameBytes], from, p.count[i] * frameBytes);
            from += p.count[i] * frameBytes;
        }
    }
    void CopyOut(size_t at, uint8_t *to, size_t count) const
    {
        const Pieces p = Split(at, count);
        for (int i = 0; i < 2; ++i) {
            memcpy(to, &bytes[p.at[i] * frameBytes], p.count[i] * frameBytes);
            to += p.count[i] * frameBytes;
        }
    }

    std::vector<uint8_t> bytes;
    const size_t frameBytes;
    const size_t capacity;
    std::atomic<uint64_t> written{0}; // frames ever written: only the producer stores it
    std::atomic<uint64_t> read{0};    // frames ever read: only the consumer stores it
};

} // namespace ombhost
