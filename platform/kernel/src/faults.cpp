// Fault injection: the n-th operation of a kind that matches a filter (owner,
// pool tag, thread, call site) fails once, and every operation is counted so
// that a test can sweep each failure point.
#include "internal.h"

#include <list>

namespace standin::kernel {

namespace {

constexpr size_t kKinds = static_cast<size_t>(Fault::Count);

struct Rule {
    FaultFilter filter;
    size_t remaining; // matching operations until the one that fails
};

struct FaultState {
    std::mutex lock;
    size_t operations[kKinds] = {};
    size_t injected[kKinds] = {};
    void *lastSite[kKinds] = {};
    std::list<Rule> rules[kKinds];
    // Counters for OperationCount with a filter: every filter asked about
    // since the last reset is counted from then on.
    std::list<std::pair<FaultFilter, size_t>> counted[kKinds];
};

FaultState &State()
{
    static FaultState *state = new FaultState;
    return *state;
}

bool Same(const FaultFilter &a, const FaultFilter &b)
{
    return a.anyOwner == b.anyOwner && a.owner == b.owner && a.tag == b.tag && a.thread == b.thread && a.site == b.site;
}

bool Matches(const FaultFilter &f, Owner owner, ULONG tag, PKTHREAD thread, void *site)
{
    return (f.anyOwner || f.owner == owner) && (f.tag == 0 || f.tag == tag) &&
           (f.thread == nullptr || f.thread == thread) && (f.site == nullptr || f.site == site);
}

// The counter of a filter, made on first use (with the count so far unknown:
// filtered counts start at the first question after a reset).
size_t &Counter(FaultState &s, size_t k, const FaultFilter &filter)
{
    for (auto &[f, n] : s.counted[k])
        if (Same(f, filter))
            return n;
    s.counted[k].emplace_back(filter, 0);
    return s.counted[k].back().second;
}

} // namespace

void FailNth(Fault kind, size_t n, const FaultFilter &filter)
{
    if (n == 0 || kind >= Fault::Count)
        return;
    auto &s = State();
    std::lock_guard lk(s.lock);
    s.rules[static_cast<size_t>(kind)].push_back({filter, n});
}

size_t OperationCount(Fault kind)
{
    auto &s = State();
    std::lock_guard lk(s.lock);
    return s.operations[static_cast<size_t>(kind)];
}

size_t OperationCount(Fault kind, const FaultFilter &filter)
{
    auto &s = State();
    std::lock_guard lk(s.lock);
    return Counter(s, static_cast<size_t>(kind), filter);
}

size_t InjectedFailures(Fault kind)
{
    auto &s = State();
    std::lock_guard lk(s.lock);
    return s.injected[static_cast<size_t>(kind)];
}

void *LastCallSite(Fault kind)
{
    auto &s = State();
    std::lock_guard lk(s.lock);
    return s.lastSite[static_cast<size_t>(kind)];
}

void ResetFaults()
{
    auto &s = State();
    std::lock_guard lk(s.lock);
    for (size_t k = 0; k < kKinds; ++k) {
        s.operations[k] = 0;
        s.injected[k] = 0;
        s.lastSite[k] = nullptr;
        s.rules[k].clear();
        s.counted[k].clear();
    }
}

namespace detail {

bool ShouldFail(Fault kind, ULONG tag, void *site)
{
    const Owner owner = CurrentOwner();
    PKTHREAD thread = CurrentThread();
    auto &s = State();
    std::lock_guard lk(s.lock);
    auto k = static_cast<size_t>(kind);
    ++s.operations[k];
    s.lastSite[k] = site;
    for (auto &[f, n] : s.counted[k])
        n += Matches(f, owner, tag, thread, site);
    bool fail = false;
    for (auto it = s.rules[k].begin(); it != s.rules[k].end();) {
        if (Matches(it->filter, owner, tag, thread, site) && --it->remaining == 0) {
            fail = true;
            it = s.rules[k].erase(it);
        } else {
            ++it;
        }
    }
    s.injected[k] += fail;
    return fail;
}

} // namespace detail
} // namespace standin::kernel
