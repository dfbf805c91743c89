// Performance targets shared by the host and the Windows export benchmarks, and the median
// both report.
#pragma once

#include <stddef.h>

#include <algorithm>
#include <vector>

// A read with a controller exchange, measured against a bare client in the same run that
// makes the same waits (and under Windows the same driver requests and registry calls):
// wall time at most this multiple of the bare client's.
const double kMaxHostBaselineRatio = 1.01;
const double kMaxWineBaselineRatio = 1.03;
// On the host, CPU time per read at most this multiple of the bare loop's.
const double kMaxHostBaselineCpuRatio = 1.2;
// Where waits fall back to Sleep (no high-resolution timer), a read with a controller
// exchange at most this multiple of its mandated waits.
const double kMaxFallbackFloorRatio = 1.3;
// An export without an exchange: wall time per call at most this, in ms.
const double kMaxNoExchangeMs = 0.1;

// Scrapes of ktsensors --listen: the 99th percentile latency at most this multiple of one
// reading's duration.
const double kMaxScrapeP99Ratio = 1.2;

// Returns the median of the values, or 0 for none.
inline double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Returns the smallest and the largest of the values, 0 for none.
inline double Smallest(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::min_element(values.begin(), values.end());
}
inline double Largest(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}
