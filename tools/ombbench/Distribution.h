// Many samples of one figure summed up as the benchmarks print them: the
// count, the median and the 99th percentile.
#pragma once

#include <stddef.h>
#include <vector>

namespace ombbench {

struct Distribution {
    size_t samples = 0;
    double median = 0;
    double p99 = 0;
};

// Nearest-rank percentiles of the values (which are sorted in place); all
// zero for no values.
Distribution Summarise(std::vector<double> &values);

} // namespace ombbench
