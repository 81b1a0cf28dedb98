// What the whole-call benchmarks share: the model library loaded as a
// simulator loads it, and the channel they hand it.
//
// The channel is a lossy line: a skin-effect-like main pulse a few bits wide
// followed by a slowly decaying, rippling reflection tail that spans the whole
// impulse, so that no sample is zero and nothing shortens the work. The
// aggressors are far-end crosstalk: attenuated, differentiated and delayed
// copies of the through pulse with their own small tails.
#ifndef VM_BENCH_AMIBENCHCOMMON_H
#define VM_BENCH_AMIBENCHCOMMON_H

#include <dlfcn.h>

#include <cmath>
#include <cstddef>
#include <cstdio>
#include <vector>

#ifndef VM_SHARED_LIBRARY
#error "VM_SHARED_LIBRARY must name the built model library"
#endif

namespace amibench {

using InitFn = long (*)(double*, long, long, double, double, char*, char**, void**, char**);
using CloseFn = long (*)(void*);

const double kBitTime = 1.0 / 12.8e9;
const int kSamplesPerBit = 32;
const double kSampleInterval = kBitTime / kSamplesPerBit;

// The library to load: the build's own, or another one named by --library=.
inline const char*& libraryPath()
{
    static const char* path = VM_SHARED_LIBRARY;
    return path;
}

struct Library {
    void* handle = nullptr;
    InitFn init = nullptr;
    CloseFn close = nullptr;
    Library()
    {
        handle = dlopen(libraryPath(), RTLD_NOW | RTLD_LOCAL);
        if (handle == nullptr) {
            std::fprintf(stderr, "dlopen(%s) failed: %s\n", libraryPath(), dlerror());
            return;
        }
        init = reinterpret_cast<InitFn>(dlsym(handle, "AMI_Init"));
        close = reinterpret_cast<CloseFn>(dlsym(handle, "AMI_Close"));
    }
    bool ok() const { return init != nullptr && close != nullptr; }
};

// Loaded once per process and kept loaded, as simulators do.
inline Library& library()
{
    static Library lib;
    return lib;
}

// Through channel in simulator units (1/s: samples times the sample interval
// sum to the DC gain, about 0.8 here).
inline void throughChannel(double* h, long n)
{
    const double tau = 1.5 * kSamplesPerBit;  // main pulse: a few bits wide
    const double tail = static_cast<double>(n) / 3.0;
    for (long i = 0; i < n; ++i) {
        const double x = static_cast<double>(i) + 1.0;
        const double pulse = (x / tau) * (x / tau) * std::exp(-x / tau);
        const double refl = 2e-3 * std::exp(-x / tail) * (1.2 + std::cos(2.0 * M_PI * x / 700.0));
        h[i] = pulse + refl;
    }
    double sum = 0.0;
    for (long i = 0; i < n; ++i)
        sum += h[i];
    const double norm = 0.8 / (sum * kSampleInterval);
    for (long i = 0; i < n; ++i)
        h[i] *= norm;
}

// Aggressor k (1-based): a delayed, differentiated copy of the through pulse,
// attenuated by 25 dB and more, with its own faint tail.
inline void aggressorChannel(double* a, const double* h, long n, int k)
{
    const long delay = 7L * k;
    const double g = 0.056 / k;
    const double tail = static_cast<double>(n) / (2.0 + k);
    for (long i = 0; i < n; ++i) {
        const long j = i - delay;
        const double d = j >= 1 && j < n ? h[j] - h[j - 1] : 0.0;
        const double x = static_cast<double>(i) + 1.0;
        a[i] = g * kSamplesPerBit * d +
               1e-4 * h[0] * std::exp(-x / tail) * (1.0 + 0.5 * std::sin(x / (90.0 + k)));
    }
}

// The impulse matrix: the through channel and `aggressors` crosstalk columns.
inline void fillMatrix(std::vector<double>& m, long n, int aggressors)
{
    m.assign(static_cast<size_t>(n) * (aggressors + 1), 0.0);
    throughChannel(m.data(), n);
    for (int k = 1; k <= aggressors; ++k)
        aggressorChannel(m.data() + static_cast<size_t>(n) * k, m.data(), n, k);
}

}  // namespace amibench

#endif  // VM_BENCH_AMIBENCHCOMMON_H
