// Regression net for refactoring the pole/zero and peaking paths: a fixed set
// of runs (the back end with pole/zero sets and both peaking lists, the
// pole/zero section with one to four lists, the pole/zero cascade on its own)
// is written out as text, every number as an exact hexadecimal float, with
// every message, result and chosen index. With VM_POLEZERO_RECORD_WRITE set
// the text goes to that file (done once with an earlier build); with
// VM_POLEZERO_RECORD set the text must equal that file's line for line, but
// for the numbers of a line, which may differ by rounding: long responses are
// convolved by block transforms, which agree with the direct form to within
// 1e-12 of the line's largest magnitude. Without either variable the test is
// skipped.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "framework/Base_SerDesFE_CTLE_Container.h"
#include "framework/Base_SerDesTxBE_CTLE.h"
#include "pz/FIRwMultiplePZLists.h"
#include "pz/PZImpulse.h"
#include "pz/PZ_Data.h"
#include "pz/RxLTI_PZ_AMI.h"

using namespace Veltramodels20200612;

namespace {

constexpr double kTwoPi = 6.283185307179586;

std::string hex(double v)
{
    char b[64];
    std::snprintf(b, sizeof b, "%a", v);
    return b;
}

void put(std::ostream& o, const char* name, const std::vector<double>& v)
{
    o << name << " " << v.size() << ":";
    for (double x : v)
        o << " " << hex(x);
    o << "\n";
}

void put(std::ostream& o, const char* name, const std::vector<std::complex<double>>& v)
{
    o << name << " " << v.size() << ":";
    for (const auto& x : v)
        o << " " << hex(x.real()) << "," << hex(x.imag());
    o << "\n";
}

// A channel in gain per sample: a skewed pulse with a reflection.
std::vector<double> channel(size_t length, double tau, int spb)
{
    std::vector<double> h(length, 0.0);
    double sum = 0.0;
    for (size_t n = 3; n < length; ++n) {
        const double x = (n - 3) / tau;
        h[n] = x * std::exp(-x) + 0.02 * std::exp(-x / 6.0);
        if (n >= 3 + 3 * static_cast<size_t>(spb))
            h[n] += 0.1 * std::exp(-(n - 3 - 3.0 * spb) / tau);
        sum += h[n];
    }
    for (double& v : h)
        v *= 0.8 / sum;
    return h;
}

void putBackEnd(std::ostream& o, Base_SerDesTxBE_CTLE& be)
{
    const bool s = be.Setup();
    const bool i = s && be.Initialize();
    const bool r = i && be.Run();
    o << "setup " << s << " init " << i << " run " << r << " index " << be.Data1Index << "\n";
    o << "msg<<" << be.msg.str() << ">>\n";
    o << "out " << be.ImpulseOut.size() << ":";
    for (const auto& p : be.ImpulseOut)
        o << " " << hex(p.real()) << "," << hex(p.imag());
    o << "\n";
    if (i) {
        std::vector<double> own(300, 0.0);
        o << "own " << be.GetModelImpulse(1e-6, own) << "\n";
        put(o, "impulse", own);
    }
    be.Finalize();
}

void backEndRuns(std::ostream& o)
{
    const int grids[3] = {8, 16, 32};
    for (int spb : grids) {
        for (int adapt = 0; adapt <= 1; ++adapt) {
            for (int index = 1; index <= 3; ++index) {
                // Pole/zero sets.
                {
                    o << "== pz sets spb " << spb << " adapt " << adapt << " index " << index << "\n";
                    Base_SerDesTxBE_CTLE be;
                    be.SymbolRate = 1e10;
                    be.SamplesPerSymbol = spb;
                    be.ModelType = 2;
                    be.NumData1 = 3;
                    be.AdaptForChannel = adapt;
                    be.Data1Index = index;
                    be.OutputGain = 0.5 + 0.25 * index;
                    be.G_Data1 = {0.9, 1.1, 1.0};
                    be.PZ_Data1 = new std::vector<std::complex<double>>[3];
                    be.PZ_Data1[0] = {{-kTwoPi * 8e9, 0.0}, {0.0, 0.0}, {0.0, 0.0}};
                    be.PZ_Data1[1] = {
                        {kTwoPi * 2e9, 0.0}, {-kTwoPi * 6e9, 0.0}, {-kTwoPi * 12e9, kTwoPi * 3e9}};
                    be.PZ_Data1[2] = {{kTwoPi * 1.5e9, 0.0}, {-kTwoPi * 5e9, 0.0}, {-kTwoPi * 20e9, 0.0}};
                    be.ImpulseIn = channel(30 * spb, 0.8 * spb, spb);
                    putBackEnd(o, be);
                }
                // CTLE peaking list.
                {
                    o << "== ctle spb " << spb << " adapt " << adapt << " index " << index << "\n";
                    Base_SerDesTxBE_CTLE be;
                    be.SymbolRate = 1e10;
                    be.SamplesPerSymbol = spb;
                    be.ModelType = 1;
                    be.PeakingModel = 0;
                    be.FPeak = 5e9;
                    be.NumData1 = 3;
                    be.AdaptForChannel = adapt;
                    be.Data1Index = index;
                    be.OutputGain = 0.8;
                    be.dBPeakList = {3.0, 10.0, 6.02};
                    be.ImpulseIn = channel(30 * spb, 1.2 * spb, spb);
                    putBackEnd(o, be);
                }
                // Transmitter peaking list.
                {
                    o << "== txpeak spb " << spb << " adapt " << adapt << " index " << index << "\n";
                    Base_SerDesTxBE_CTLE be;
                    be.SymbolRate = 1e10;
                    be.SamplesPerSymbol = spb;
                    be.ModelType = 1;
                    be.PeakingModel = 1;
                    be.TxBE_vWidth = 0.25;
                    be.TxBE_vWidthMode = index % 2;
                    be.NumData1 = 3;
                    be.AdaptForChannel = adapt;
                    be.Data1Index = index;
                    be.TxBE_vPeakList = {0.0, 0.6, 0.3};
                    be.ImpulseIn = channel(30 * spb, 0.6 * spb, spb);
                    putBackEnd(o, be);
                }
            }
        }
    }
}

// Record k of a list: a peaking set whose zero moves with k.
PZ_Data record(int list, int k, bool complexPole)
{
    PZ_Data d;
    d.gain = 1.0 - 0.05 * list;
    d.poles = {kTwoPi * (5e9 + 1e9 * list), kTwoPi * 25e9};
    d.zeros = {kTwoPi * (0.6e9 + 0.45e9 * k + 0.1e9 * list)};
    if (complexPole)
        d.cpoles = {{kTwoPi * 15e9, kTwoPi * 4e9}};
    return d;
}

void sectionRuns(std::ostream& o)
{
    const int counts[4][4] = {{3, 0, 0, 0}, {3, 2, 0, 0}, {2, 2, 2, 0}, {2, 2, 1, 2}};
    for (int shape = 0; shape < 4; ++shape) {
        for (int adapt = 0; adapt <= 1; ++adapt) {
            for (int level = 0; level <= 3; ++level) {
                for (int type = 0; type <= 1; ++type) {
                    o << "== section shape " << shape << " adapt " << adapt << " level " << level << " type "
                      << type << "\n";
                    std::vector<PZ_Data> records[4];
                    RxLTI_PZ_AMI s;
                    s.BitRate = 1e10;
                    s.SamplesPerBit = 16;
                    s.ChannelImpulse = channel(400, 9.0 + shape, 16);
                    int lists = 0;
                    for (int n = 0; n < 4; ++n) {
                        for (int k = 0; k < counts[shape][n]; ++k)
                            records[n].push_back(record(n, k, (k + n + shape) % 3 == 2));
                        if (counts[shape][n] > 0)
                            lists = n + 1;
                    }
                    s.FEType = lists;
                    s.NumData1 = counts[shape][0];
                    s.NumData2 = counts[shape][1];
                    s.NumData3 = counts[shape][2];
                    s.NumData4 = counts[shape][3];
                    s.PZ_data_values1 = records[0].empty() ? nullptr : records[0].data();
                    s.PZ_data_values2 = records[1].empty() ? nullptr : records[1].data();
                    s.PZ_data_values3 = records[2].empty() ? nullptr : records[2].data();
                    s.PZ_data_values4 = records[3].empty() ? nullptr : records[3].data();
                    s.Data1Index = counts[shape][0];
                    s.Data2Index = counts[shape][1] > 0 ? 1 : 0;
                    s.Data3Index = counts[shape][2];
                    s.Data4Index = counts[shape][3] > 0 ? 1 : 0;
                    s.AdaptDataIndex = adapt;
                    s.AdaptForOutputLevel = level;
                    s.OutputLevel = 0.4;
                    s.Gain_dB = -1.5;
                    s.Cascade.AdaptDataIndexType = type;
                    std::stringstream msg;
                    const bool su = s.Setup(nullptr, msg);
                    const bool in = su && s.Initialize(msg);
                    o << "setup " << su << " init " << in << " idx " << s.Data1Index << " " << s.Data2Index
                      << " " << s.Data3Index << " " << s.Data4Index << " best " << hex(s.BestEyeRatio)
                      << " gain " << hex(s.Cascade.Gain) << " cycles " << s.Cascade.CycleCount << " states "
                      << s.Cascade.StateCount << "\n";
                    o << "msg<<" << msg.str() << ">>\n";
                    put(o, "out", s.OutputImpulse);
                    put(o, "eq", s.Cascade.EqualizedResponse);
                    put(o, "sect", s.SectionImpulse);
                    put(o, "ospec", s.OutputSpectrum);
                    put(o, "sspec", s.SectionSpectrum);
                    if (in) {
                        std::vector<double> run;
                        for (int k = 0; k < 40; ++k) {
                            s.Input = (k == 0) ? 1.0 : (k == 7 ? -0.5 : 0.0);
                            s.Run(msg);
                            run.push_back(s.Output);
                        }
                        put(o, "run", run);
                    }
                    s.Finalize();
                }
            }
        }
    }
}

// The cascade alone, including its failures.
void cascadeRuns(std::ostream& o)
{
    const double fs = 1e10 * 16;
    std::vector<std::vector<double>> poles(8), zeros(8);
    std::unique_ptr<PZImpulse[]> states(new PZImpulse[8]);
    for (int k = 0; k < 8; ++k) {
        poles[k] = {PZImpulse::warpRoot(-kTwoPi * 6e9, fs), PZImpulse::warpRoot(-kTwoPi * 9e9, fs)};
        zeros[k] = {PZImpulse::warpRoot(-kTwoPi * (0.5e9 + 0.4e9 * k), fs)};
        PZImpulse& s = states[k];
        s.BitRate = 1e10;
        s.SamplesPerBit = 16;
        s.GainDC = 1.0;
        s.WarpFreq = 1;
        s.AutoSetWarpFreq = 0;
        s.Poles = &poles[k];
        s.Zeros = &zeros[k];
    }
    for (int n1 = 0; n1 <= 4; n1 += 2) {
        for (int n2 = 0; n2 <= 3; ++n2) {
            for (int adapt = 0; adapt <= 1; ++adapt) {
                for (int level = 0; level <= 3; ++level) {
                    for (int type = 0; type <= 1; ++type) {
                        o << "== cascade n1 " << n1 << " n2 " << n2 << " adapt " << adapt << " level "
                          << level << " type " << type << "\n";
                        std::vector<double> ch = channel(300, 7.0 + n2, 16);
                        for (double& v : ch)
                            v *= fs;
                        FIRwMultiplePZLists m;
                        m.ChannelImpulse = &ch;
                        m.BitRate = 1e10;
                        m.SamplesPerBit = 16;
                        m.EQ1_NumData = n1;
                        m.EQ2_NumData = n2;
                        m.EQ1_Data_data_values = states.get();
                        m.EQ2_Data_data_values = n2 > 0 ? states.get() + 4 : nullptr;
                        m.EQ1_DataIndex = n1 > 0 ? n1 : 1;
                        m.EQ2_DataIndex = n2 > 0 ? 1 : 0;
                        m.AdaptDataIndex = adapt;
                        m.AdaptDataIndexType = type;
                        m.AdaptForChLoss = level;
                        m.AGC_Level = 0.7;
                        m.Gain_dB = 2.0;
                        std::stringstream msg;
                        const bool su = m.Setup(nullptr, msg);
                        const bool in = su && m.Initialize(msg);
                        o << "setup " << su << " init " << in << " idx " << m.EQ1_DataIndex << " "
                          << m.EQ2_DataIndex << " best " << hex(m.BestEyeRatio) << " gain " << hex(m.Gain)
                          << " dB " << hex(m.Gain_dB) << " cycles " << m.CycleCount << " states "
                          << m.StateCount << "\n";
                        o << "msg<<" << msg.str() << ">>\n";
                        put(o, "eq", m.EqualizedResponse);
                        put(o, "scaled", m.ScaledChannel);
                        if (in) {
                            std::vector<double> run;
                            for (int k = 0; k < 60; ++k) {
                                m.Input = k < 30 ? ch[k] / fs : 0.0;
                                m.Run(msg);
                                run.push_back(m.FinalOutput());
                            }
                            put(o, "run", run);
                        }
                        m.Finalize();
                    }
                }
            }
        }
    }
}

// The same words, and the same numbers up to 1e-12 of the line's largest
// magnitude.
bool sameUpToRounding(const std::string& want, const std::string& have)
{
    // Complex values are written as "re,im".
    std::string ca(want), cb(have);
    std::replace(ca.begin(), ca.end(), ',', ' ');
    std::replace(cb.begin(), cb.end(), ',', ' ');
    std::istringstream a(ca), b(cb);
    std::vector<std::string> wa, wb;
    for (std::string w; a >> w;)
        wa.push_back(w);
    for (std::string w; b >> w;)
        wb.push_back(w);
    // A sample vector ("name count: values") may end earlier or later where
    // its tail underflows (below 1e-300) in one form and not in the other:
    // the missing samples count as zeros.
    if (wa.size() >= 2 && wb.size() >= 2 && wa[0] == wb[0] && wa[1].back() == ':' && wb[1].back() == ':') {
        wa[1] = wb[1];
        while (wa.size() < wb.size())
            wa.push_back("0x0p+0");
        while (wb.size() < wa.size())
            wb.push_back("0x0p+0");
    }
    if (wa.size() != wb.size())
        return false;
    auto number = [](const std::string& w, double* v) {
        if (w.find("0x") == std::string::npos)
            return false;
        char* end = nullptr;
        *v = std::strtod(w.c_str(), &end);
        return end != nullptr && *end == '\0';
    };
    double peak = 0.0;
    std::vector<std::pair<double, double>> pairs;
    for (size_t i = 0; i < wa.size(); ++i) {
        double x = 0.0, y = 0.0;
        const bool nx = number(wa[i], &x), ny = number(wb[i], &y);
        if (nx != ny || (!nx && wa[i] != wb[i]))
            return false;
        if (nx) {
            peak = std::max(peak, std::fabs(x));
            pairs.emplace_back(x, y);
        }
    }
    // Section spectra are (dB, phase) pairs: magnitudes are compared as
    // linear gains, where the noise floor of a transform (some -300 dB)
    // counts for what it is, and phases where the gain is not that floor.
    if (wa[0] == "ospec" || wa[0] == "sspec") {
        double top = 0.0;
        for (size_t i = 0; i + 1 < pairs.size(); i += 2)
            top = std::max(top, std::pow(10.0, pairs[i].first / 20.0));
        for (size_t i = 0; i + 1 < pairs.size(); i += 2) {
            const double ga = std::pow(10.0, pairs[i].first / 20.0),
                         gb = std::pow(10.0, pairs[i].second / 20.0);
            if (!(std::fabs(ga - gb) <= 1e-12 * top))
                return false;
            if (ga > 1e-6 * top && !(std::fabs(pairs[i + 1].first - pairs[i + 1].second) <= 1e-6))
                return false;
        }
        return true;
    }
    for (const auto& p : pairs)
        if (!(std::fabs(p.first - p.second) <= 1e-12 * peak))
            return false;
    return true;
}

TEST(PoleZeroRecord, RunsMatchTheRecord)
{
    const char* writePath = std::getenv("VM_POLEZERO_RECORD_WRITE");
    const char* readPath = std::getenv("VM_POLEZERO_RECORD");
    if ((writePath == nullptr || *writePath == '\0') && (readPath == nullptr || *readPath == '\0'))
        GTEST_SKIP() << "neither VM_POLEZERO_RECORD nor VM_POLEZERO_RECORD_WRITE set";
    std::ostringstream text;
    backEndRuns(text);
    sectionRuns(text);
    cascadeRuns(text);
    if (writePath != nullptr && *writePath != '\0') {
        std::ofstream f(writePath);
        f << text.str();
        ASSERT_TRUE(f.good());
        return;
    }
    std::ifstream f(readPath);
    ASSERT_TRUE(f.good()) << readPath;
    std::istringstream got(text.str());
    std::string want, have;
    size_t line = 0, differing = 0, rounded = 0, runs = 0;
    while (true) {
        const bool a = static_cast<bool>(std::getline(f, want));
        const bool b = static_cast<bool>(std::getline(got, have));
        if (!a && !b)
            break;
        ++line;
        if (have.compare(0, 3, "== ") == 0)
            ++runs;
        if (a && b && want != have && sameUpToRounding(want, have)) {
            ++rounded;
        } else if (a != b || want != have) {
            if (++differing <= 5)
                ADD_FAILURE() << "line " << line << "\nwant: " << want.substr(0, 400)
                              << "\nhave: " << have.substr(0, 400);
        }
    }
    std::printf("compared %zu pole/zero and peaking runs (%zu lines): %zu lines differing, %zu by rounding "
                "only\n",
                runs, line, differing, rounded);
    EXPECT_EQ(differing, 0u);
}

}  // namespace
