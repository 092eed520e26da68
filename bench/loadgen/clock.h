#pragma once

// Time and latency figures of the load generator.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

namespace loadgen {

using Clock = std::chrono::steady_clock;

inline Clock::duration Seconds(double seconds)
{
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

inline double SecondsBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

inline double SecondsSince(Clock::time_point start)
{
    return SecondsBetween(start, Clock::now());
}

inline uint32_t MicrosecondsBetween(Clock::time_point from, Clock::time_point to)
{
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(to - from).count();
    return us < 0 ? 0 : (uint32_t)std::min<int64_t>(us, UINT32_MAX);
}

// Latencies in microseconds; percentiles by sorting once at the end.
struct Latencies {
    std::vector<uint32_t> samples;

    void Add(uint32_t us) { samples.push_back(us); }
    void Merge(const Latencies& other)
    {
        samples.insert(samples.end(), other.samples.begin(), other.samples.end());
    }
    // The p-th percentile (0..100) in milliseconds; 0 without samples.
    double PercentileMs(double p)
    {
        if (samples.empty())
            return 0.0;
        std::sort(samples.begin(), samples.end());
        size_t index = (size_t)(p / 100.0 * (double)(samples.size() - 1) + 0.5);
        return samples[std::min(index, samples.size() - 1)] / 1000.0;
    }
};

} // namespace loadgen
