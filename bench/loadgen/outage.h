#pragma once

// A database crash under load: the private MariaDB killed while the clients
// log in and started again at once, and what the clients saw of it. Every
// moment is taken from the generator's Clock.

#include <signal.h>

#include <algorithm>
#include <optional>
#include <thread>
#include <vector>

#include "clients.h"
#include "clock.h"
#include "privatedb.h"

namespace loadgen {

struct Outage {
    Clock::time_point killed;
    Clock::time_point answering;   // Restart() returned: the database answers again
    bool answered = false;
};

// Waits until `at`, kills mariadbd (a crash, not a shutdown) and starts it again.
inline Outage CrashAndRestart(PrivateMariaDb& db, Clock::time_point at)
{
    std::this_thread::sleep_until(at);
    Outage outage;
    outage.killed = Clock::now();
    db.Stop(SIGKILL);
    outage.answered = db.Restart();
    outage.answering = Clock::now();
    return outage;
}

// The moments counted in each whole bucket of the given width from `from`
// until `to` (a bucket cut short by `to` is left out).
inline std::vector<size_t> CountPerBucket(const std::vector<Clock::time_point>& moments, Clock::time_point from,
                                          Clock::time_point to, Clock::duration width)
{
    std::vector<size_t> counts(to > from ? (size_t)((to - from) / width) : 0, 0);
    for (Clock::time_point t : moments) {
        size_t bucket = t >= from ? (size_t)((t - from) / width) : counts.size();
        if (bucket < counts.size())
            counts[bucket]++;
    }
    return counts;
}

inline double Median(std::vector<size_t> values)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? (double)values[middle] : (values[middle - 1] + values[middle]) / 2.0;
}

struct OutageFigures {
    size_t refusedBefore = 0;                      // before the kill
    size_t refusedDuring = 0;                      // from the kill until the database answered
    size_t refusedAfter = 0;                       // once it answered again
    std::optional<double> lastRefusalAfter;        // seconds from answering to the last refusal
    double rateBefore = 0;                         // logins/s, median of the whole seconds before the kill
    std::optional<double> rateBackAfter;           // seconds from answering to the first 100 ms at 90 %
    double rateAfter = 0;                          // logins/s, median of the whole seconds from 1 s after answering
};

inline OutageFigures FiguresOf(const LoadResult& run, const Outage& outage)
{
    OutageFigures f;
    Clock::time_point answering = outage.answered ? outage.answering : Clock::time_point::max();
    for (const Refusal& r : run.refusals) {
        if (r.at < outage.killed) {
            f.refusedBefore++;
        } else if (r.at < answering) {
            f.refusedDuring++;
        } else {
            f.refusedAfter++;
            f.lastRefusalAfter = std::max(f.lastRefusalAfter.value_or(0.0), SecondsBetween(answering, r.at));
        }
    }
    f.rateBefore = Median(CountPerBucket(run.completedAt, run.start, outage.killed, std::chrono::seconds(1)));
    if (!outage.answered)
        return f;

    const auto bucket = std::chrono::milliseconds(100);
    const double perSecond = std::chrono::seconds(1) / bucket;
    std::vector<size_t> after = CountPerBucket(run.completedAt, answering, run.start + Seconds(run.seconds), bucket);
    for (size_t i = 0; i < after.size() && !f.rateBackAfter; ++i)
        if (after[i] * perSecond >= 0.9 * f.rateBefore)
            f.rateBackAfter = (double)i / perSecond;
    f.rateAfter = Median(CountPerBucket(run.completedAt, answering + std::chrono::seconds(1),
                                        run.start + Seconds(run.seconds), std::chrono::seconds(1)));
    return f;
}

} // namespace loadgen
