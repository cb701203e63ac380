#ifndef PELORIN_BENCH_SUPPORT_H
#define PELORIN_BENCH_SUPPORT_H

// Timing for the benchmarks: medians over repeated runs, printed one per line.
#include <functional>
#include <vector>

double NowMs(void);
double Median(std::vector<double> samples);
// Runs `measured` `runs` times (each after `prepare`, which is not timed),
// prints the median in milliseconds and returns it.
double Measure(const char *what, int runs, const std::function<void()> &measured,
               const std::function<void()> &prepare = [] {});

#endif
