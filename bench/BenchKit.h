#pragma once
// What every benchmark here measures with: wall-clock seconds of a body, and medians (and a
// percentile) of repeated runs, so one disturbed run on a shared machine does not decide a figure.
#include <algorithm>
#include <chrono>
#include <functional>
#include <vector>

namespace bench {

template <class F> double Seconds(F&& body) {
    const auto start = std::chrono::steady_clock::now();
    body();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The p-quantile (0 to 1) of the figures; the median for 0.5.
inline double Percentile(std::vector<double> figures, double p) {
    std::sort(figures.begin(), figures.end());
    return figures[std::min(figures.size() - 1, static_cast<std::size_t>(p * figures.size()))];
}

inline double Median(std::vector<double> figures) {
    return Percentile(std::move(figures), 0.5);
}

// The median of runs; each run returns the figure it measured.
inline double Median(int runs, const std::function<double()>& run) {
    std::vector<double> figures;
    for (int i = 0; i < runs; ++i)
        figures.push_back(run());
    return Median(std::move(figures));
}

} // namespace bench
