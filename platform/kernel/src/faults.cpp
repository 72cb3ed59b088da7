// Fault injection: the n-th operation of a kind fails once, and every
// operation is counted so that a test can sweep each failure point.
#include "internal.h"

#include <mutex>
#include <set>

namespace standin::kernel {

namespace {

constexpr size_t kKinds = static_cast<size_t>(Fault::Count);

struct FaultState {
    std::mutex lock;
    size_t operations[kKinds] = {};
    size_t injected[kKinds] = {};
    std::set<size_t> failAt[kKinds]; // operation numbers that fail
};

FaultState &State() {
    static FaultState *state = new FaultState;
    return *state;
}

} // namespace

void FailNth(Fault kind, size_t n) {
    if (n == 0 || kind >= Fault::Count)
        return;
    auto &s = State();
    std::lock_guard lk(s.lock);
    auto k = static_cast<size_t>(kind);
    s.failAt[k].insert(s.operations[k] + n);
}

size_t OperationCount(Fault kind) {
    auto &s = State();
    std::lock_guard lk(s.lock);
    return s.operations[static_cast<size_t>(kind)];
}

size_t InjectedFailures(Fault kind) {
    auto &s = State();
    std::lock_guard lk(s.lock);
    return s.injected[static_cast<size_t>(kind)];
}

void ResetFaults() {
    auto &s = State();
    std::lock_guard lk(s.lock);
    for (size_t k = 0; k < kKinds; ++k) {
        s.operations[k] = 0;
        s.injected[k] = 0;
        s.failAt[k].clear();
    }
}

namespace detail {

bool ShouldFail(Fault kind) {
    auto &s = State();
    std::lock_guard lk(s.lock);
    auto k = static_cast<size_t>(kind);
    size_t n = ++s.operations[k];
    if (s.failAt[k].erase(n) == 0)
        return false;
    ++s.injected[k];
    return true;
}

} // namespace detail
} // namespace standin::kernel
