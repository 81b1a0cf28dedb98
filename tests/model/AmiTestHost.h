// A minimal IBIS-AMI host for the tests: loads the built model library with
// dlopen, as a simulator does, and calls its two entry points. Also the
// independent references the tests compare the library against: test
// channels, the state taps computed through the framework's list class, and
// direct convolution.
#ifndef VM_TESTS_MODEL_AMITESTHOST_H
#define VM_TESTS_MODEL_AMITESTHOST_H

#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "dsp/ImpulseOperations.h"
#include "eq/FIRwStepRespList.h"
#include "model/TxStepResponseList.h"

namespace amitest {

typedef long (*InitFn)(double*, long, long, double, double, char*, char**, void**, char**);
typedef long (*CloseFn)(void*);

struct Library {
    void* handle = nullptr;
    InitFn init = nullptr;
    CloseFn close = nullptr;
    std::string error;
};

// Loaded once per process and kept loaded: simulators do the same.
inline Library& library()
{
    static Library lib = [] {
        Library l;
        l.handle = dlopen(VM_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (l.handle == nullptr) {
            const char* e = dlerror();
            l.error = e ? e : "dlopen failed";
            return l;
        }
        l.init = reinterpret_cast<InitFn>(dlsym(l.handle, "AMI_Init"));
        l.close = reinterpret_cast<CloseFn>(dlsym(l.handle, "AMI_Close"));
        if (l.init == nullptr || l.close == nullptr)
            l.error = "AMI_Init or AMI_Close not found";
        return l;
    }();
    return lib;
}

struct Result {
    long ret = -1;
    long closeRet = -1;
    std::string msg;
    bool msgNull = false;
    std::vector<double> matrix;
};

// Full call sequence through the given entry points: AMI_Init, read the
// message and matrix, AMI_Close.
inline Result callWith(InitFn init, CloseFn close, const std::string& params, std::vector<double> matrix,
                       long rows, long aggressors, double sampleInterval, double bitTime)
{
    Result r;
    std::vector<char> text(params.begin(), params.end());
    text.push_back('\0');
    void* handle = nullptr;
    char* msg = nullptr;
    char* out = nullptr;
    r.ret = init(matrix.empty() ? nullptr : matrix.data(), rows, aggressors, sampleInterval, bitTime,
                 text.data(), &out, &handle, &msg);
    r.msgNull = msg == nullptr;
    if (msg != nullptr)
        r.msg = msg;
    r.matrix = matrix;
    r.closeRet = close(handle);
    return r;
}

// The same through the built library.
inline Result call(const std::string& params, std::vector<double> matrix, long rows, long aggressors,
                   double sampleInterval, double bitTime)
{
    Library& lib = library();
    return callWith(lib.init, lib.close, params, std::move(matrix), rows, aggressors, sampleInterval,
                    bitTime);
}

inline std::string params(int autoInit, int preEmphasis, int cornerCase, const char* gain = "1.0")
{
    std::ostringstream s;
    s << "(VELMOR7700X (AutoInit " << autoInit << ")(PreEmphasis " << preEmphasis << ")(CornerCase "
      << cornerCase << ")";
    if (gain != nullptr)
        s << "(OutputGain " << gain << ")";
    s << ")";
    return s.str();
}

const double kBitTime = 1.0 / 12.8e9;
const double kSampleInterval = kBitTime / 32.0;

// A lossy channel as a host would hand it: the impulse of a cascade of
// `poles` equal real poles with time constant tauUI unit intervals, after a
// delay of delayUI unit intervals, in V/s (so its sum times the sample
// interval is dcGain). Loss grows with tauUI.
inline std::vector<double> lossyChannel(long rows, double tauUI, double delayUI = 2.0, int poles = 3,
                                        double dcGain = 0.8, double spb = 32.0)
{
    std::vector<double> h(rows, 0.0);
    const double tau = tauUI * spb;  // in samples
    double sum = 0.0;
    for (long i = 0; i < rows; ++i) {
        const double t = i - delayUI * spb;
        if (t <= 0)
            continue;
        h[i] = std::pow(t / tau, poles - 1) * std::exp(-t / tau);
        sum += h[i];
    }
    const double si = kBitTime / spb;
    for (double& v : h)
        v *= dcGain / (sum * si);
    return h;
}

// Taps of pre-emphasis state `preEmphasis` of a corner, as the framework's
// list class builds them for a simulation grid of spb samples per bit.
inline std::vector<double> stateTaps(int cornerCase, int preEmphasis, double bitRate, int spb)
{
    using namespace Veltramodels20200612;
    std::vector<double>* table = TxStepResponseList::Create(cornerCase);
    std::vector<double> one(1, 1.0);
    FIRwStepRespList list;
    list.StepRespIndex = 16 - preEmphasis;
    list.SuppressMessages = 1;
    list.ChannelImpulse = &one;
    list.BitRate = bitRate;
    list.SamplesPerBit = spb;
    list.InterpolationType = 2;
    list.NumStepResp = 16;
    list.StepResp_data_values = &table;
    list.ColumnArrangement = 1;
    list.AdaptStepRespIndex = 0;
    list.AdaptForLogicLevel = 0;
    std::stringstream m;
    std::vector<double> taps;
    if (list.Setup(nullptr, m) && list.Initialize(m))
        taps = list.Taps();
    list.Finalize();
    TxStepResponseList::Destroy(table);
    return taps;
}

// Full linear convolution, direct form.
inline std::vector<double> convolve(const std::vector<double>& a, const std::vector<double>& b)
{
    if (a.empty() || b.empty())
        return {};
    std::vector<double> y(a.size() + b.size() - 1, 0.0);
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == 0.0)
            continue;
        for (size_t j = 0; j < b.size(); ++j)
            y[i + j] += a[i] * b[j];
    }
    return y;
}

// Open-eye ratio (worst-case over best-case upper eye level) of the channel
// through pre-emphasis state p, computed directly: channel in gain per
// sample, trailing and leading zeros dropped, convolved with the state's
// taps, made positive-going, measured with the eye kernel.
inline double openEyeRatio(const std::vector<double>& channel, int cornerCase, int preEmphasis,
                           double bitRate, int spb)
{
    using namespace Veltramodels20200612;
    size_t first = 0, last = 0;
    bool any = false;
    for (size_t i = 0; i < channel.size(); ++i)
        if (channel[i] != 0.0) {
            if (!any)
                first = i;
            last = i;
            any = true;
        }
    if (!any)
        return 0.0;
    std::vector<double> c(channel.begin() + first, channel.begin() + last + 1);
    for (double& v : c)
        v /= spb * bitRate;
    std::vector<double> r = convolve(c, stateTaps(cornerCase, preEmphasis, bitRate, spb));
    size_t big = 0;
    for (size_t i = 1; i < r.size(); ++i)
        if (std::fabs(r[i]) > std::fabs(r[big]))
            big = i;
    if (r[big] < 0)
        for (double& v : r)
            v = -v;
    ImpulseOperations ops(nullptr);
    double bc = 0, wc = 0;
    std::stringstream m;
    if (!ops.determineEyeBcWcUpperLevels(r, spb, 0.5, &bc, &wc, m) || !(bc > 0))
        return -1e40;
    return wc / bc;
}

}  // namespace amitest

#endif
