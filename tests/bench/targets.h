// Performance targets shared by the host and the Windows export benchmarks, and the median
// both report.
#pragma once

#include <stddef.h>

#include <algorithm>
#include <vector>

// A read with a controller exchange: wall time at most this multiple of its mandated waits,
// and CPU time at most this share of its wall time.
const double kMaxFloorRatio = 1.05;
const double kMaxCpuShare = 0.02;
// An export without an exchange: wall time per call at most this, in ms.
const double kMaxNoExchangeMs = 0.1;

// Returns the median of the values, or 0 for none.
inline double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}
