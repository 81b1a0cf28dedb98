#ifndef VM_TESTS_SUPPORT_CASCADEREFERENCE_H
#define VM_TESTS_SUPPORT_CASCADEREFERENCE_H

// Brute-force references for the equaliser cascades of both list families,
// written without the cascade engine: naive convolution in the order of a
// direct-form FIR, zero trimming, sign correction and the eye levels taken
// from the eye kernel's curves with the centre chosen here.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/ImpulseToWorstCaseEye.h"

namespace cascaderef {

// c as the tap vector, summed over ascending c index: the order of a
// direct-form FIR whose taps are c.
inline std::vector<double> naiveConvolution(const std::vector<double>& c, const std::vector<double>& x)
{
    std::vector<double> y(c.size() + x.size() - 1, 0.0);
    for (size_t t = 0; t < y.size(); ++t) {
        double s = 0.0;
        for (size_t i = 0; i < c.size() && i <= t; ++i)
            if (t - i < x.size())
                s += c[i] * x[t - i];
        y[t] = s;
    }
    return y;
}

inline std::vector<double> trimZeros(std::vector<double> v)
{
    while (v.size() > 1 && v.back() == 0.0)
        v.pop_back();
    size_t s = 0;
    while (s + 1 < v.size() && v[s] == 0.0)
        ++s;
    return std::vector<double>(v.begin() + s, v.end());
}

// The channel as the cascades take it: trailing zeros dropped, one leading
// zero kept, divided by samples per bit x bit rate.
inline std::vector<double> scaledChannel(const std::vector<double>& ch, int spb, double bitRate)
{
    size_t first = 0, last = 0;
    while (first < ch.size() && ch[first] == 0.0)
        ++first;
    for (size_t i = 0; i < ch.size(); ++i)
        if (ch[i] != 0.0)
            last = i;
    first = (first == ch.size() || first == 0) ? 0 : first - 1;
    std::vector<double> s;
    for (size_t i = first; i <= last; ++i)
        s.push_back(ch[i] / (spb * bitRate));
    return s;
}

// Negates v when its first sample of largest magnitude is negative.
inline void positiveGoing(std::vector<double>& v)
{
    double largest = 0, value = 0;
    for (double s : v)
        if (std::fabs(s) > largest) {
            largest = std::fabs(s);
            value = s;
        }
    if (value < 0)
        for (double& s : v)
            s = -s;
}

// Best- and worst-case upper eye levels at the eye centre: the middle of the
// worst-case curve's open span, or its peak when it has no crossing.
inline void referenceEye(const std::vector<double>& h, int spb, double level, double* bc, double* wc)
{
    using Veltramodels20200612::ImpulseToWorstCaseEye;
    ImpulseToWorstCaseEye eye;
    std::vector<double> wu, wl, bu, bl;
    eye.Impulse = &h;
    eye.SamplesPerBit = spb;
    eye.LogicLevel = level;
    eye.Normalization = 0;
    eye.WcUpperEye = &wu;
    eye.WcLowerEye = &wl;
    eye.BcUpperEye = &bu;
    eye.BcLowerEye = &bl;
    std::stringstream m;
    ASSERT_TRUE(eye.Setup(nullptr, m));
    ASSERT_TRUE(eye.Initialize(m));
    const int d = 2 * spb;
    double best = -1e40;
    int bestAt = 0, rise = -1, fall = -1;
    for (int k = 1; k < d; ++k) {
        if (wu[k] > best) {
            best = wu[k];
            bestAt = k;
        }
        if (wu[k - 1] <= 0 && wu[k] > 0)
            rise = k;
        if (wu[k] <= 0 && wu[k - 1] > 0)
            fall = k - 1;
    }
    int c = bestAt;
    if (rise >= 0 && fall >= 0)
        c = fall > rise ? (rise + fall) / 2 : ((rise + fall + d) / 2) % d;
    *wc = wu[c];
    *bc = bu[c];
}

// Equalised response of one combination: naive convolution per stage, zeros
// trimmed after each, sign made positive-going, with its eye.
struct Trial {
    std::vector<double> response;
    double bc = 0, wc = 0, ratio = 0;
};

inline Trial referenceTrial(const std::vector<double>& scaled,
                            const std::vector<std::vector<double>>& stageTaps, int spb, double level = 0.5)
{
    Trial t;
    std::vector<double> r = scaled;
    for (const std::vector<double>& taps : stageTaps)
        r = trimZeros(naiveConvolution(r, taps));
    positiveGoing(r);
    t.response = r;
    referenceEye(r, spb, level, &t.bc, &t.wc);
    t.ratio = t.wc / t.bc;
    return t;
}

// As the model's messages print a number.
inline std::string fmt(double v)
{
    std::ostringstream s;
    s << v;
    return s.str();
}

inline bool bitwiseEqual(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

}  // namespace cascaderef

#endif
