#ifndef VM_TESTS_FRAMEWORK_FRAMEWORKTESTDATA_H
#define VM_TESTS_FRAMEWORK_FRAMEWORKTESTDATA_H

// Small synthetic step-response tables and independent reference
// computations for the front-end and back-end tests.

#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/ImpulseOperations.h"

namespace fwtest {

constexpr double kSymbolRate = 1e10;
constexpr int kSps = 8;
constexpr int kRows = 64;

inline double sampleInterval()
{
    return 1.0 / kSymbolRate / kSps;
}

// Rising edge: raised cosine from sample 1 over 1.5 unit intervals, then flat.
inline double edge(int i)
{
    const double rise = 1.5 * kSps;
    if (i <= 1)
        return 0.0;
    const double x = (i - 1) / rise;
    if (x >= 1.0)
        return 1.0;
    return 0.5 * (1.0 - std::cos(3.14159265358979323846 * x));
}

// Step of a driver with post-cursor de-emphasis a: edge(t) - a * edge(t - T),
// on the simulation grid, flat over its last unit intervals.
inline std::vector<double> deEmphasisStep(double a, double swing = 1.0)
{
    std::vector<double> s(kRows);
    for (int i = 0; i < kRows; ++i)
        s[i] = swing * (edge(i) - a * edge(i - kSps));
    return s;
}

// A table in the shared-time-axis layout: vector 0 time, vector k state k.
struct Table {
    std::unique_ptr<std::vector<double>[]> columns;
    int states = 0;
    std::vector<double>* get() { return columns.get(); }
};

inline Table makeTable(const std::vector<double>& deEmphasis, double swing = 1.0)
{
    Table t;
    t.states = static_cast<int>(deEmphasis.size());
    t.columns.reset(new std::vector<double>[t.states + 1]);
    t.columns[0].resize(kRows);
    const double dt = sampleInterval();
    for (int i = 0; i < kRows; ++i)
        t.columns[0][i] = static_cast<double>(i) * dt;
    for (int k = 0; k < t.states; ++k)
        t.columns[k + 1] = deEmphasisStep(deEmphasis[k], swing);
    return t;
}

// Equaliser taps of a step on the simulation grid: its per-sample
// differences, the first one 0, trailing zeros dropped.
inline std::vector<double> tapsOf(const std::vector<double>& step)
{
    std::vector<double> taps(step.size(), 0.0);
    for (size_t i = 1; i < step.size(); ++i)
        taps[i] = step[i] - step[i - 1];
    while (taps.size() > 1 && taps.back() == 0.0)
        taps.pop_back();
    return taps;
}

inline std::vector<double> convolve(const std::vector<double>& a, const std::vector<double>& b)
{
    if (a.empty() || b.empty())
        return {};
    std::vector<double> y(a.size() + b.size() - 1, 0.0);
    for (size_t i = 0; i < a.size(); ++i)
        for (size_t j = 0; j < b.size(); ++j)
            y[i + j] += a[i] * b[j];
    return y;
}

inline void trimZeros(std::vector<double>& v)
{
    while (v.size() > 1 && v.back() == 0.0)
        v.pop_back();
    size_t lead = 0;
    while (lead + 1 < v.size() && v[lead] == 0.0)
        ++lead;
    v.erase(v.begin(), v.begin() + static_cast<long>(lead));
}

// A lossy channel in gain per sample: a skewed pulse with a long tail.
inline std::vector<double> lossyChannel(size_t length = 200, double tau = 7.0)
{
    std::vector<double> h(length, 0.0);
    double sum = 0.0;
    for (size_t n = 3; n < length; ++n) {
        const double x = (n - 3) / tau;
        h[n] = x * std::exp(-x) + 0.02 * std::exp(-x / 6.0);
        sum += h[n];
    }
    for (double& v : h)
        v *= 0.8 / sum;  // 0.8 gain at 0 Hz
    return h;
}

// Open-eye ratio of channel * taps as the state search measures it:
// leading/trailing zeros dropped, turned positive-going.
inline bool eyeOf(const std::vector<double>& channel, const std::vector<double>& taps, double* bc, double* wc)
{
    std::vector<double> r = convolve(channel, taps);
    trimZeros(r);
    size_t peak = 0;
    for (size_t i = 1; i < r.size(); ++i)
        if (std::fabs(r[i]) > std::fabs(r[peak]))
            peak = i;
    if (r[peak] < 0.0)
        for (double& v : r)
            v = -v;
    Veltramodels20200612::ImpulseOperations ops(nullptr);
    std::stringstream m;
    return ops.determineEyeBcWcUpperLevels(r, kSps, 0.5, bc, wc, m);
}

inline double numberAfter(const std::string& text, const std::string& key)
{
    const size_t p = text.find(key);
    if (p == std::string::npos)
        return NAN;
    return std::stod(text.substr(p + key.size()));
}

}  // namespace fwtest

#endif
