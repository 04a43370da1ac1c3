#pragma once

#include <algorithm>
#include <vector>

// The p-quantile (0..1) of the samples by rank, the largest for p = 1; 0 without samples.
inline double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size())))];
}
