// Nearest-rank median and 99th percentile.
#include "Distribution.h"

#include <algorithm>
#include <cmath>

namespace ombbench {

namespace {

// The smallest value with at least `fraction` of all values at or below it.
double Rank(const std::vector<double> &sorted, double fraction)
{
    const size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[rank == 0 ? 0 : rank - 1];
}

} // namespace

Distribution Summarise(std::vector<double> &values)
{
    Distribution d;
    d.samples = values.size();
    if (values.empty())
        return d;
    std::sort(values.begin(), values.end());
    d.median = Rank(values, 0.5);
    d.p99 = Rank(values, 0.99);
    return d;
}

} // namespace ombbench
