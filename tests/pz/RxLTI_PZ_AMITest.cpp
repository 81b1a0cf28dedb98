#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pz/CTLE.h"
#include "pz/PZImpulse.h"
#include "pz/PZ_Data.h"
#include "pz/ReadPZFile.h"
#include "pz/RxLTI_PZ_AMI.h"

using namespace Veltramodels20200612;

namespace {

const double kTwoPi = 6.283185307179586;
const double kBitRate = 10e9;
const int kSpb = 16;
const double kFs = kBitRate * kSpb;

// Peaking records as read from a file: gain, poles at 6 and 9 GHz and one
// zero, all positive magnitudes in rad/s.
std::vector<PZ_Data> peakingRecords(const std::vector<double>& zerosGHz)
{
    std::vector<PZ_Data> r(zerosGHz.size());
    for (size_t k = 0; k < r.size(); ++k) {
        r[k].gain = 1.0;
        r[k].poles = {kTwoPi * 6e9, kTwoPi * 9e9};
        r[k].zeros = {kTwoPi * zerosGHz[k] * 1e9};
    }
    return r;
}

// Lossy channel in gain per sample: a 1.2 GHz single pole.
std::vector<double> channel()
{
    std::vector<double> ch;
    const double a = std::exp(-kTwoPi * 1.2e9 / kFs);
    double v = 1.0 - a;
    for (int n = 0; n < 500; ++n) {
        ch.push_back(v);
        v *= a;
    }
    ch.resize(ch.size() + 30, 0.0);
    return ch;
}

// Independent impulse of one record: the roots negated and pre-warped by
// hand, then a fresh PZImpulse.
std::vector<double> recordImpulse(const PZ_Data& r)
{
    auto warp = [](double x) {
        return 2.0 * kFs * std::tan(std::fabs(x) / (2.0 * kFs)) * (x / std::fabs(x));
    };
    std::vector<double> poles, zeros, t, h;
    for (double p : r.poles)
        poles.push_back(warp(-p));
    for (double z : r.zeros)
        zeros.push_back(warp(-z));
    PZImpulse p;
    p.BitRate = kBitRate;
    p.SamplesPerBit = kSpb;
    p.GainDC = r.gain;
    p.WarpFreq = 1;
    p.Poles = &poles;
    p.Zeros = &zeros;
    p.TimeArray = &t;
    p.ImpulseArray = &h;
    std::stringstream msg;
    EXPECT_TRUE(p.Setup(nullptr, msg) && p.Initialize(msg)) << msg.str();
    return h;
}

std::vector<double> convolve(const std::vector<double>& a, const std::vector<double>& b)
{
    std::vector<double> y(a.size() + b.size() - 1, 0.0);
    for (size_t i = 0; i < a.size(); ++i)
        for (size_t j = 0; j < b.size(); ++j)
            y[i + j] += a[i] * b[j];
    return y;
}

void configure(RxLTI_PZ_AMI& s)
{
    s.BitRate = kBitRate;
    s.SamplesPerBit = kSpb;
    s.ChannelImpulse = channel();
}

TEST(RxLTI_PZ_AMI, PassThroughIgnoresInputGain)
{
    RxLTI_PZ_AMI s;
    configure(s);
    s.FEType = 0;
    s.InputGain = 2.0;
    s.SuppressMessages = 1;
    s.SkipSpectrum = 1;
    std::stringstream msg;
    ASSERT_TRUE(s.Setup(nullptr, msg));
    ASSERT_TRUE(s.Initialize(msg));
    EXPECT_EQ(msg.str(), "\nPass-through front end (FE) model used.\n");
    std::vector<double> ch = channel();
    ch.resize(500);
    EXPECT_EQ(s.OutputImpulse, ch);
}

TEST(RxLTI_PZ_AMI, RootTypesSignsAndPreWarping)
{
    // 8e9 x 32 = 256e9 samples per second; a pole of 2 pi x 1e9 (1 in a GHz
    // file) is handed on as -2 fs tan(2 pi 1e9 / (2 fs)).
    RxLTI_PZ_AMI s;
    s.BitRate = 8e9;
    s.SamplesPerBit = 32;
    std::vector<PZ_Data> r(2);
    r[0].gain = 1.0;
    r[0].poles = {kTwoPi * 1e9};
    r[1].gain = 2.0;
    r[1].zeros = {kTwoPi * 3e9};
    r[1].cpoles = {std::complex<double>(kTwoPi * 1e9, kTwoPi * 2e9)};
    FIRwMultiplePZLists cascade;
    PZImpulse* states = nullptr;
    std::stringstream msg;
    ASSERT_TRUE(s.setupRxFE_Section(cascade, 1, 2, &states, r.data(), msg));
    ASSERT_NE(states, nullptr);
    EXPECT_EQ(states[0].RootType, 1);
    EXPECT_EQ(states[1].RootType, 2);
    EXPECT_EQ(states[0].WarpFreq, 1);
    EXPECT_EQ(states[0].AutoSetWarpFreq, 0);
    EXPECT_EQ(states[1].GainDC, 2.0);
    EXPECT_EQ(states[0].BitRate, 8e9);
    EXPECT_EQ(states[0].SamplesPerBit, 32);
    const double pole = (*states[0].Poles)[0];
    EXPECT_NEAR(pole, -2.0 * 256e9 * std::tan(kTwoPi * 1e9 / 512e9), 1.0);
    EXPECT_NEAR(pole, -6.2835007e9, 1e2);
    EXPECT_NEAR(pole / (-kTwoPi * 1e9), 1.0000502, 1e-7);
    const std::complex<double> cp = (*states[1].CPoles)[0];
    EXPECT_LT(cp.real(), 0.0);
    EXPECT_LT(cp.imag(), 0.0);  // both parts negated
    EXPECT_NEAR(std::arg(cp), std::arg(std::complex<double>(-1.0, -2.0)), 1e-14);
    EXPECT_LT((*states[1].Zeros)[0], 0.0);
    // The caller's records are untouched.
    EXPECT_EQ(r[0].poles[0], kTwoPi * 1e9);
    EXPECT_EQ(r[1].cpoles[0], std::complex<double>(kTwoPi * 1e9, kTwoPi * 2e9));
    EXPECT_EQ(cascade.EQ1_NumData, 2);
    EXPECT_EQ(cascade.EQ1_Data_data_values, states);
    delete[] states;
}

TEST(RxLTI_PZ_AMI, FixedIndexIsKept)
{
    std::vector<PZ_Data> r = peakingRecords({8.0, 4.0, 2.0, 1.0, 0.5});
    RxLTI_PZ_AMI s;
    configure(s);
    s.FEType = 1;
    s.NumData1 = 5;
    s.PZ_data_values1 = r.data();
    s.Data1Index = 3;
    s.SkipSpectrum = 1;
    std::stringstream msg;
    ASSERT_TRUE(s.Setup(nullptr, msg));
    ASSERT_TRUE(s.Initialize(msg)) << msg.str();
    EXPECT_EQ(s.Cascade.EQ1_DataIndex, 3);
    EXPECT_EQ(s.Data1Index, 3);
    // Output: channel through state 3.
    std::vector<double> want = convolve(channel(), recordImpulse(r[2]));
    ASSERT_GE(want.size(), s.OutputImpulse.size());
    for (size_t n = 0; n < s.OutputImpulse.size(); ++n)
        ASSERT_NEAR(s.OutputImpulse[n], want[n], 1e-14) << n;
    EXPECT_GT(s.OutputImpulse.size(), 1000u);
}

TEST(RxLTI_PZ_AMI, SearchWritesIndexBackAndRepeats)
{
    std::vector<PZ_Data> r = peakingRecords({8.0, 3.0, 1.5, 0.7, 0.35});
    const std::vector<PZ_Data> before = r;
    RxLTI_PZ_AMI s;
    configure(s);
    s.FEType = 1;
    s.NumData1 = 5;
    s.PZ_data_values1 = r.data();
    s.Data1Index = 5;
    s.AdaptDataIndex = 1;
    s.InputGain = 1.5;
    std::stringstream msg;
    ASSERT_TRUE(s.Setup(nullptr, msg));
    ASSERT_TRUE(s.Initialize(msg)) << msg.str();
    const int chosen = s.Data1Index;
    EXPECT_EQ(chosen, s.Cascade.EQ1_DataIndex);
    std::string text = msg.str();
    EXPECT_EQ(text.rfind("\nGenerating front end (FE) model based on pole and zero data.\n"
                         "Optimization of EQ over count = 5 states resulting in max open eye ratio = ",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("EQ1_DataIndex = " + std::to_string(chosen) + "\n"), std::string::npos);

    std::vector<double> h = recordImpulse(r[chosen - 1]);
    std::vector<double> want = convolve(channel(), h);
    for (size_t n = 0; n < s.OutputImpulse.size(); ++n)
        ASSERT_NEAR(s.OutputImpulse[n], 1.5 * want[n], 1e-14) << n;

    // Spectra: 4096 points; the section's own impulse is the chosen state's.
    ASSERT_EQ(s.Frequencies.size(), 4096u);
    EXPECT_DOUBLE_EQ(s.FreqStep, 0.5 * kFs / 4095.0);
    ASSERT_EQ(s.SectionSpectrum.size(), 4096u);
    for (size_t n = 0; n < std::min(h.size(), s.SectionImpulse.size()); ++n)
        ASSERT_NEAR(s.SectionImpulse[n], h[n], 1e-15) << n;
    // Gain at 0 Hz of the section is 1 (0 dB), of the output 1.5.
    EXPECT_NEAR(s.SectionSpectrum[0].real(), 0.0, 1e-6);
    EXPECT_NEAR(s.OutputSpectrum[0].real(), 20.0 * std::log10(1.5), 1e-3);

    // The records are unchanged, and a second Initialize gives the same result.
    for (size_t k = 0; k < r.size(); ++k) {
        EXPECT_EQ(r[k].poles, before[k].poles);
        EXPECT_EQ(r[k].zeros, before[k].zeros);
    }
    std::vector<double> first = s.OutputImpulse;
    s.ChannelImpulse = channel();
    std::stringstream msg2;
    ASSERT_TRUE(s.Setup(nullptr, msg2));
    ASSERT_TRUE(s.Initialize(msg2)) << msg2.str();
    EXPECT_EQ(s.Data1Index, chosen);
    EXPECT_EQ(s.OutputImpulse, first);
    EXPECT_EQ(msg2.str(), text);

    // Run after Initialize streams the section from a clean state.
    s.Input = 1.0;
    ASSERT_TRUE(s.Run(msg));
    EXPECT_NEAR(s.Output, h[0], 1e-15);
}

// Two lists searched together: each list's chosen state comes back to its
// own index, and the output is the channel through both chosen states,
// computed independently.
TEST(RxLTI_PZ_AMI, SearchOverTwoListsWritesEachIndexBack)
{
    std::vector<PZ_Data> r1 = peakingRecords({8.0, 3.0, 1.5, 0.7});
    // A second list whose flattest state comes first.
    std::vector<PZ_Data> r2 = peakingRecords({40.0, 2.0, 0.3});
    RxLTI_PZ_AMI s;
    configure(s);
    s.FEType = 2;
    s.NumData1 = 4;
    s.PZ_data_values1 = r1.data();
    s.NumData2 = 3;
    s.PZ_data_values2 = r2.data();
    s.Data2Index = 2;
    s.AdaptDataIndex = 1;
    s.SkipSpectrum = 1;
    std::stringstream msg;
    ASSERT_TRUE(s.Setup(nullptr, msg)) << msg.str();
    ASSERT_TRUE(s.Initialize(msg)) << msg.str();
    const int i1 = s.Data1Index, i2 = s.Data2Index;
    ASSERT_GE(i1, 1);
    ASSERT_LE(i1, 4);
    ASSERT_GE(i2, 1);
    ASSERT_LE(i2, 3);
    // The two lists settle on different states, so that a mix-up shows.
    ASSERT_NE(i1, i2);
    const std::string text = msg.str();
    EXPECT_NE(text.find("EQ1_DataIndex = " + std::to_string(i1)), std::string::npos) << text;
    EXPECT_NE(text.find("EQ2_DataIndex = " + std::to_string(i2)), std::string::npos) << text;

    const std::vector<double> want =
        convolve(convolve(channel(), recordImpulse(r1[i1 - 1])), recordImpulse(r2[i2 - 1]));
    ASSERT_GE(want.size(), s.OutputImpulse.size());
    for (size_t n = 0; n < s.OutputImpulse.size(); ++n)
        ASSERT_NEAR(s.OutputImpulse[n], want[n], 1e-13) << n;
    EXPECT_GT(s.OutputImpulse.size(), 1000u);
}

TEST(RxLTI_PZ_AMI, FailuresEndWithGenerationLine)
{
    {
        std::vector<PZ_Data> r(1);
        r[0].gain = 1.0;
        r[0].poles = {1e10};
        r[0].zeros = {2e10};
        RxLTI_PZ_AMI s;
        configure(s);
        s.FEType = 1;
        s.NumData1 = 1;
        s.PZ_data_values1 = r.data();
        s.SuppressMessages = 1;
        std::stringstream msg;
        ASSERT_TRUE(s.Setup(nullptr, msg));
        EXPECT_FALSE(s.Initialize(msg));
        // The cascade's final evaluation reports the list it could not set.
        EXPECT_EQ(msg.str(), "PZ_data[i] must have number of Poles > number of Zeros.\n"
                             "Failed setting EQ1.\n"
                             "\nERROR:  Front end (FE) model generation failed.\n");
        EXPECT_FALSE(s.Run(msg));
    }
    {
        RxLTI_PZ_AMI s;
        configure(s);
        s.FEType = 1;
        s.NumData1 = 2;
        s.SuppressMessages = 1;
        std::stringstream msg;
        ASSERT_TRUE(s.Setup(nullptr, msg));
        EXPECT_FALSE(s.Initialize(msg));
        EXPECT_EQ(msg.str(), "EQ1_Data_data_values vector size must be > 0.\n"
                             "\nERROR:  Front end (FE) model generation failed.\n");
    }
}

// An empty channel reaches the lists as one zero sample, the form of any
// silent channel: the section is built, with nothing to put out and a
// closed eye.
TEST(RxLTI_PZ_AMI, EmptyChannelIsASilentOneForTheLists)
{
    std::vector<PZ_Data> r = peakingRecords({8.0, 2.0});
    RxLTI_PZ_AMI s;
    s.BitRate = kBitRate;
    s.SamplesPerBit = kSpb;
    s.FEType = 1;
    s.NumData1 = 2;
    s.PZ_data_values1 = r.data();
    s.Data1Index = 2;
    s.SuppressMessages = 1;
    s.SuppressListMessages = 1;
    s.SkipSpectrum = 1;
    std::stringstream msg;
    ASSERT_TRUE(s.Setup(nullptr, msg));
    ASSERT_TRUE(s.Initialize(msg)) << msg.str();
    EXPECT_EQ(msg.str(), "");
    EXPECT_TRUE(s.OutputImpulse.empty());
    EXPECT_EQ(s.BestEyeRatio, 0.0);
    EXPECT_EQ(s.Data1Index, 2);
    // Built: a unit sample comes out through state 2.
    s.Input = 1.0;
    ASSERT_TRUE(s.Run(msg));
    EXPECT_NEAR(s.Output, recordImpulse(r[1])[0], 1e-15);
}

TEST(RxLTI_PZ_AMI, SetupChecks)
{
    RxLTI_PZ_AMI s;
    s.FEType = 4;
    s.NumData2 = 1;
    s.NumData3 = 1;
    s.InputGain = 0.0;
    s.AdaptDataIndex = -1;
    std::stringstream msg;
    EXPECT_FALSE(s.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "ERROR:  Front end InputGain must not be zero.\n"
                         "ERROR:  Front end AdaptDataIndex must be either 0 or 1.\n"
                         "ERROR:  Front end NumData4 must be > 0.\n"
                         "ERROR:  Front end Data4Index must be an integer in the range [1, 0].\n");
    RxLTI_PZ_AMI t;
    t.FEType = 1;
    t.NumData2 = 3;
    std::stringstream msg2;
    EXPECT_TRUE(t.Setup(nullptr, msg2));
    EXPECT_EQ(t.NumData2, 0);
}

TEST(RxLTI_PZ_AMI, AgcOnlyMessageIsAlwaysWritten)
{
    RxLTI_PZ_AMI s;
    configure(s);
    s.FEType = 1;
    s.NumData1 = 0;
    s.SuppressMessages = 1;
    s.InputGain = 3.0;
    s.SkipSpectrum = 1;
    std::stringstream msg;
    ASSERT_TRUE(s.Setup(nullptr, msg));
    ASSERT_TRUE(s.Initialize(msg)) << msg.str();
    EXPECT_EQ(msg.str().rfind("\nFront end (FE) model with only AGC used.\n", 0), 0u);
    std::vector<double> ch = channel();
    ASSERT_EQ(s.OutputImpulse.size(), 500u);
    // Level control of type 0 keeps the preset gain: the channel times InputGain.
    for (size_t n = 0; n < 500; ++n)
        EXPECT_NEAR(s.OutputImpulse[n], 3.0 * ch[n], 1e-15);
    s.Input = 1.0;
    ASSERT_TRUE(s.Run(msg));
    EXPECT_DOUBLE_EQ(s.Output, 3.0);
}

}  // namespace

namespace {

// Pole/zero sets read from a file, then equalising a channel: the output is
// the channel through the chosen set, computed independently.
TEST(RxLTI_PZ_AMI, FromPoleZeroFile)
{
    const std::string dir = ::testing::TempDir();
    const std::string name = "rx_pz_sets.txt";
    {
        std::ofstream f(dir + "/" + name);
        f << "! three peaking sets\n# GHz\n"
             "1.0 [6, 9] [4] [] []\n"
             "1.0 [6, 9] [1] [] []\n"
             "0.8 [9] [2] [6+3j] []\n";
    }
    PZ_Data* sets = nullptr;
    std::stringstream msg;
    ASSERT_TRUE(Get_PZ_Data(dir.c_str(), const_cast<char*>(name.c_str()), 3, &sets, msg)) << msg.str();
    std::remove((dir + "/" + name).c_str());

    RxLTI_PZ_AMI s;
    configure(s);
    s.FEType = 1;
    s.NumData1 = 3;
    s.PZ_data_values1 = sets;
    s.AdaptDataIndex = 1;
    s.SkipSpectrum = 1;
    ASSERT_TRUE(s.Setup(nullptr, msg));
    ASSERT_TRUE(s.Initialize(msg)) << msg.str();
    const int chosen = s.Data1Index;
    ASSERT_GE(chosen, 1);
    ASSERT_LE(chosen, 3);

    // Independent impulse of the chosen set: real sets through the IIR route
    // of a fresh PZImpulse, the complex one through its spectrum route; both
    // from roots negated and pre-warped here.
    const PZ_Data& r = sets[chosen - 1];
    auto warp = [](std::complex<double> x) {
        return x * (2.0 * kFs * std::tan(std::abs(x) / (2.0 * kFs)) / std::abs(x));
    };
    std::vector<double> poles, zeros, t, h;
    std::vector<std::complex<double>> cpoles;
    for (double p : r.poles)
        poles.push_back(warp(-p).real());
    for (double z : r.zeros)
        zeros.push_back(warp(-z).real());
    for (auto c : r.cpoles)
        cpoles.push_back(warp(-c));
    PZImpulse p;
    p.BitRate = kBitRate;
    p.SamplesPerBit = kSpb;
    p.GainDC = r.gain;
    p.Poles = &poles;
    p.Zeros = &zeros;
    p.CPoles = &cpoles;
    p.TimeArray = &t;
    p.ImpulseArray = &h;
    ASSERT_TRUE(p.Setup(nullptr, msg) && p.Initialize(msg));
    std::vector<double> want = convolve(channel(), h);
    ASSERT_LE(s.OutputImpulse.size(), want.size());
    for (size_t n = 0; n < s.OutputImpulse.size(); ++n)
        ASSERT_NEAR(s.OutputImpulse[n], want[n], 1e-13) << n;
    delete[] sets;
}

// Peaking designs turned into records (rad/s), as the peaking-list path does.
TEST(RxLTI_PZ_AMI, FromPeakingDesigns)
{
    std::vector<PZ_Data> r(3);
    const double dB[3] = {3.0, 8.0, 14.0};
    for (int k = 0; k < 3; ++k) {
        CTLE c;
        c.BitRate = kBitRate;
        c.SamplesPerBit = kSpb;
        c.FPeak = kBitRate / 2;
        c.dB_Peak = dB[k];
        std::stringstream m;
        ASSERT_TRUE(c.Setup(nullptr, m)) << m.str();
        r[k].gain = 1.0;
        r[k].zeros = {kTwoPi * 1e9 * c.Z};
        r[k].poles = {kTwoPi * 1e9 * c.P1, kTwoPi * 1e9 * c.P2};
    }
    RxLTI_PZ_AMI s;
    configure(s);
    s.FEType = 1;
    s.NumData1 = 3;
    s.PZ_data_values1 = r.data();
    s.Data1Index = 2;
    s.SkipSpectrum = 1;
    std::stringstream msg;
    ASSERT_TRUE(s.Setup(nullptr, msg));
    ASSERT_TRUE(s.Initialize(msg)) << msg.str();
    std::vector<double> want = convolve(channel(), recordImpulse(r[1]));
    for (size_t n = 0; n < s.OutputImpulse.size(); ++n)
        ASSERT_NEAR(s.OutputImpulse[n], want[n], 1e-14) << n;
    // 8 dB of peaking at half the bit rate over 0 Hz, within the design's accuracy.
    std::vector<double> h = recordImpulse(r[1]);
    std::complex<double> acc = 0.0;
    for (size_t n = 0; n < h.size(); ++n)
        acc += h[n] * std::polar(1.0, -kTwoPi * (kBitRate / 2) * n / kFs);
    EXPECT_NEAR(20.0 * std::log10(std::abs(acc)), 8.0, 0.5);
}

}  // namespace
