#include "bench_support.h"

#include <windows.h>
#include <stdio.h>

#include <algorithm>

double NowMs(void)
{
    static LARGE_INTEGER frequency;
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * (double)now.QuadPart / (double)frequency.QuadPart;
}

double Median(std::vector<double> samples)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    size_t middle = samples.size() / 2;
    return samples.size() % 2 ? samples[middle] : (samples[middle - 1] + samples[middle]) / 2;
}

double Measure(const char *what, int runs, const std::function<void()> &measured, const std::function<void()> &prepare)
{
    std::vector<double> samples;
    for (int i = 0; i < runs; i++) {
        prepare();
        double start = NowMs();
        measured();
        samples.push_back(NowMs() - start);
    }
    double median = Median(samples);
    printf("  %-52s %9.3f ms  (median of %d)\n", what, median, runs);
    fflush(stdout);
    return median;
}
