// Tests of the cascade of step-response lists: parameter checks and their
// exact lines, the channel scaling, convolveEQ against a literally streamed
// FIR, the state searches against a brute-force reference (naive convolution
// of every combination and its peak-distortion eye), the final evaluation,
// the gain adaptations and streaming.

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/FIR.h"
#include "dsp/ImpulseToWorstCaseEye.h"
#include "eq/FIRwMultipleStepRespLists.h"
#include "eq/InterpolateStepRespData.h"
#include "tests/support/CascadeReference.h"

using namespace Veltramodels20200612;

namespace {

const double kBitRate = 4e9;
const int kSpb = 8;
const double kTs = 1.0 / kBitRate / kSpb;

struct Table {
    std::vector<std::vector<double>> cols;
    std::vector<double>* slot = nullptr;
    std::vector<double>** ptr()
    {
        slot = cols.data();
        return &slot;
    }
};

// Driver-like step responses with a shared time axis: a rise (time constant
// rise[k]) with a decaying overshoot emphasis[k].
Table makeTable(const std::vector<double>& emphasis, std::vector<double> rise = {}, int rows = 60,
                double dt = 25e-12)
{
    if (rise.empty())
        rise.assign(emphasis.size(), 30e-12);
    Table t;
    t.cols.assign(emphasis.size() + 1, std::vector<double>(rows));
    for (int j = 0; j < rows; ++j) {
        const double time = j * dt;
        t.cols[0][j] = time;
        for (size_t k = 0; k < emphasis.size(); ++k)
            t.cols[k + 1][j] =
                (1.0 - std::exp(-time / rise[k])) * (1.0 + emphasis[k] * std::exp(-time / 200e-12));
    }
    return t;
}

std::vector<double> makeChannel(double tau, int length, double scale = 1.0)
{
    std::vector<double> h(length);
    for (int i = 0; i < length; ++i)
        h[i] = scale * (std::exp(-i * kTs / tau) - std::exp(-i * kTs / (tau / 4)));
    return h;
}

std::vector<double> stateTaps(Table& table, int n, int index)
{
    InterpolateStepRespData in;
    in.BitRate = kBitRate;
    in.SamplesPerBit = kSpb;
    in.StepRespIndex = index;
    in.NumStepResp = n;
    in.InterpolationType = 2;
    in.StepResp_data_values = table.ptr();
    in.ColumnArrangement = 1;
    std::stringstream m;
    EXPECT_TRUE(in.Setup(nullptr, m)) << m.str();
    EXPECT_TRUE(in.Initialize(m)) << m.str();
    return in.OutputData;
}

using cascaderef::bitwiseEqual;
using cascaderef::fmt;
using cascaderef::naiveConvolution;
using cascaderef::positiveGoing;
using cascaderef::Trial;
using cascaderef::trimZeros;

std::vector<double> scaledChannel(const std::vector<double>& ch)
{
    return cascaderef::scaledChannel(ch, kSpb, kBitRate);
}

void referenceEye(const std::vector<double>& h, double level, double* bc, double* wc)
{
    cascaderef::referenceEye(h, kSpb, level, bc, wc);
}

// Equalised response of one combination, brute force: naive convolution per
// stage, zeros trimmed after each, sign made positive-going.
Trial referenceTrial(const std::vector<double>& channel, std::vector<Table*> tables, std::vector<int> counts,
                     std::vector<int> index, double level = 0.5)
{
    std::vector<std::vector<double>> taps;
    for (size_t s = 0; s < tables.size(); ++s)
        taps.push_back(stateTaps(*tables[s], counts[s], index[s]));
    return cascaderef::referenceTrial(scaledChannel(channel), taps, kSpb, level);
}

void configure(FIRwMultipleStepRespLists& eq, std::vector<double>* channel, Table* t1, int n1,
               Table* t2 = nullptr, int n2 = 0)
{
    eq.ChannelImpulse = channel;
    eq.BitRate = kBitRate;
    eq.SamplesPerBit = kSpb;
    eq.EQ1_NumStepResp = n1;
    eq.EQ1_StepResp_data_values = t1->ptr();
    eq.EQ1_ColumnArrangement = 1;
    if (t2 != nullptr) {
        eq.EQ2_NumStepResp = n2;
        eq.EQ2_StepResp_data_values = t2->ptr();
        eq.EQ2_ColumnArrangement = 1;
    }
}

// convolveEQ as a streamed FIR: the taps pushed through a FIR whose taps are
// a copy of v, outputs kept from the first nonzero one, at most L of them.
std::vector<double> streamedConvolution(const std::vector<double>& v, const std::vector<double>& taps,
                                        int fft)
{
    std::vector<double> c(v);
    FIR fir;
    fir.Taps = &c;
    fir.EnableFFT = fft;
    fir.InitialValue = 0.0;
    std::stringstream scratch;
    EXPECT_TRUE(fir.Setup(nullptr, scratch));
    fir.Initialize();
    const size_t L = v.size() + taps.size();
    std::vector<double> out;
    for (size_t j = 0; j < 2 * L && out.size() < L; ++j) {
        fir.Input = j < taps.size() ? taps[j] : 0.0;
        fir.Run(scratch);
        if (out.empty() && fir.Output == 0.0)
            continue;
        out.push_back(fir.Output);
    }
    return out;
}

const std::vector<double> kEmphasis = {0.0, 0.15, 0.3, 0.45, 0.6, 0.75, 0.9, 1.05};

}  // namespace

// ---------------------------------------------------------------- Setup

TEST(FIRwMultipleStepRespListsSetup, EveryFailingCheckWritesItsLineInOrder)
{
    FIRwMultipleStepRespLists eq;
    eq.ChannelImpulse = nullptr;
    eq.BitRate = -1.0;
    eq.SamplesPerBit = 3;
    eq.EQ4_NumStepResp = -1;
    eq.EQ3_NumStepResp = -2;
    eq.EQ2_NumStepResp = -1;
    eq.EQ1_NumStepResp = -1;
    eq.AdaptForChLoss = 4;
    eq.LogicLevel = 0.0;
    eq.AGC_Level = -1.0;
    eq.AdaptStepRespIndexType = 2;
    std::stringstream msg;
    EXPECT_FALSE(eq.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "ChannelImpulse vector size must be > 0.\n"
                         "BitRate must be > 0.\n"
                         "SamplesPerBit must be and integer >= 4.\n"
                         "EQ4_NumStepResp must be an integer >= 0.\n"
                         "EQ3_NumStepResp must be an integer >= 0.\n"
                         "EQ2_NumStepResp must be an integer >= 0.\n"
                         "EQ1_NumStepResp must be an integer >= 0.\n"
                         "AdaptForChLoss must be an integer in the range [0, 3].\n"
                         "LogicLevel must be > 0.\n"
                         "AGC_Level must be > 0.\n"
                         "AdaptStepRespIndexType must be either 0 or 1.\n"
                         "EQ1_StepResp_data_values vector size must be > 0.\n");
}

TEST(FIRwMultipleStepRespListsSetup, ListCountRules)
{
    Table t = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(200e-12, 50);
    struct Case {
        int n1, n2, n3, n4;
        std::string text;
    };
    const Case cases[] = {
        {1, -1, 0, 2, "EQ3_NumStepResp must be an integer >= 1.\nEQ2_NumStepResp must be an integer >= 0.\n"},
        {1, 0, 0, 2, "EQ3_NumStepResp must be an integer >= 1.\n"},
        {1, 0, 3, 2, "EQ2_NumStepResp must be an integer >= 1.\n"},
        // A gap: EQ3 in use while EQ2 is not.
        {1, 0, 3, 0, "EQ2_NumStepResp must be an integer >= 1.\n"},
        // EQ2 in use without EQ1: the section would be a pure gain.
        {0, 2, 0, 0, "EQ1_NumStepResp must be an integer >= 1.\n"},
        {2, 0, 0, 0, ""},
        {0, 0, 0, 0, ""},
    };
    for (const Case& c : cases) {
        FIRwMultipleStepRespLists eq;
        configure(eq, &ch, &t, c.n1);
        eq.EQ2_NumStepResp = c.n2;
        eq.EQ3_NumStepResp = c.n3;
        eq.EQ4_NumStepResp = c.n4;
        eq.EQ2_StepResp_data_values = eq.EQ3_StepResp_data_values = eq.EQ4_StepResp_data_values = t.ptr();
        eq.AdaptStepRespIndex = 1;
        std::stringstream msg;
        EXPECT_EQ(eq.Setup(nullptr, msg), c.text.empty()) << c.n1 << c.n2 << c.n3 << c.n4;
        EXPECT_EQ(msg.str(), c.text) << c.n1 << c.n2 << c.n3 << c.n4;
    }
}

TEST(FIRwMultipleStepRespListsSetup, IndexRangesWithoutSearch)
{
    Table t = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(200e-12, 50);
    auto run = [&](int i1, int i2, int i3, double bitRate, int adapt) {
        FIRwMultipleStepRespLists eq;
        configure(eq, &ch, &t, 8, &t, 4);
        eq.EQ3_NumStepResp = 3;
        eq.EQ3_StepResp_data_values = t.ptr();
        eq.EQ1_StepRespIndex = i1;
        eq.EQ2_StepRespIndex = i2;
        eq.EQ3_StepRespIndex = i3;
        eq.BitRate = bitRate;
        eq.AdaptStepRespIndex = adapt;
        std::stringstream msg;
        eq.Setup(nullptr, msg);
        return msg.str();
    };
    EXPECT_EQ(run(9, 0, 0, kBitRate, 0), "EQ1_StepRespIndex must be an integer in the range [1, 8].\n");
    // Only the first later list out of range is reported.
    EXPECT_EQ(run(8, 5, 4, kBitRate, 0), "EQ2_StepRespIndex must be an integer in the range [1, 4].\n");
    EXPECT_EQ(run(8, 4, 0, kBitRate, 0), "EQ3_StepRespIndex must be an integer in the range [1, 3].\n");
    // ... and only when nothing failed before.
    EXPECT_EQ(run(8, 5, 4, 0.0, 0), "BitRate must be > 0.\n");
    EXPECT_EQ(run(0, 0, 0, kBitRate, 1), "");
    EXPECT_EQ(run(0, 0, 0, kBitRate, 2), "AdaptStepRespIndex must be an integer either 0 or 1.\n");
    EXPECT_EQ(run(0, 0, 0, kBitRate, -1), "AdaptStepRespIndex must be an integer either 0 or 1.\n");
}

TEST(FIRwMultipleStepRespListsSetup, SettingsTakenAsUnsignedFailWhenNegative)
{
    Table t = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(200e-12, 50);
    FIRwMultipleStepRespLists eq;
    configure(eq, &ch, &t, 8);
    eq.AdaptForChLoss = -1;
    eq.AdaptStepRespIndexType = -1;
    std::stringstream msg;
    EXPECT_FALSE(eq.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "AdaptForChLoss must be an integer in the range [0, 3].\n"
                         "AdaptStepRespIndexType must be either 0 or 1.\n");
}

TEST(FIRwMultipleStepRespListsSetup, TableChecks)
{
    Table t = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(200e-12, 50);
    {
        // EQ1's table is needed even without EQ1 states.
        FIRwMultipleStepRespLists eq;
        eq.ChannelImpulse = &ch;
        eq.BitRate = kBitRate;
        eq.SamplesPerBit = kSpb;
        std::vector<double>* none = nullptr;
        eq.EQ1_StepResp_data_values = &none;
        std::stringstream msg;
        EXPECT_FALSE(eq.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "EQ1_StepResp_data_values vector size must be > 0.\n");
    }
    {
        Table emptyFirst = t;
        emptyFirst.cols[0].clear();
        FIRwMultipleStepRespLists eq;
        configure(eq, &ch, &emptyFirst, 8);
        eq.AdaptStepRespIndex = 1;
        std::stringstream msg;
        EXPECT_FALSE(eq.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "EQ1_StepResp_data_values vector size must be > 0.\n");
    }
    for (int n = 2; n <= 4; ++n) {
        FIRwMultipleStepRespLists eq;
        configure(eq, &ch, &t, 8, &t, 8);
        eq.AdaptStepRespIndex = 1;
        eq.EQ3_NumStepResp = n >= 3 ? 8 : 0;
        eq.EQ4_NumStepResp = n >= 4 ? 8 : 0;
        eq.EQ3_StepResp_data_values = eq.EQ4_StepResp_data_values = t.ptr();
        if (n == 2)
            eq.EQ2_StepResp_data_values = nullptr;
        if (n == 3)
            eq.EQ3_StepResp_data_values = nullptr;
        if (n == 4)
            eq.EQ4_StepResp_data_values = nullptr;
        std::stringstream msg;
        EXPECT_FALSE(eq.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "EQ" + std::to_string(n) + "_StepResp_data_values vector size must be > 0.\n");
    }
    {
        // A failed check ends Setup before the later tables are looked at.
        FIRwMultipleStepRespLists eq;
        configure(eq, &ch, &t, 8, &t, 8);
        eq.EQ2_StepResp_data_values = nullptr;
        eq.AdaptStepRespIndex = 1;
        eq.LogicLevel = 0.0;
        std::stringstream msg;
        EXPECT_FALSE(eq.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "LogicLevel must be > 0.\n");
    }
}

TEST(FIRwMultipleStepRespListsSetup, ScaledChannelKeepsOneLeadingZeroAndDropsTrailingZeros)
{
    Table t = makeTable(kEmphasis);
    std::vector<double> ch = {0.0, 0.0, 0.0, 2.0, -1.0, 0.0, 0.5, 0.0, 0.0};
    FIRwMultipleStepRespLists eq;
    configure(eq, &ch, &t, 8);
    eq.Gain_dB = -3.0;
    std::stringstream msg;
    ASSERT_TRUE(eq.Setup(nullptr, msg)) << msg.str();
    const double d = kSpb * kBitRate;
    const std::vector<double> expected = {0.0, 2.0 / d, -1.0 / d, 0.0, 0.5 / d};
    EXPECT_TRUE(bitwiseEqual(eq.ScaledChannel, expected));
    EXPECT_EQ(eq.ListChannel, std::vector<double>(1, 1.0));
    EXPECT_EQ(eq.Gain, std::pow(10.0, -3.0 / 20.0));

    std::vector<double> ch2 = {1.5, 0.0, 0.25};
    eq.ChannelImpulse = &ch2;
    ASSERT_TRUE(eq.Setup(nullptr, msg));
    EXPECT_TRUE(bitwiseEqual(eq.ScaledChannel, std::vector<double>({1.5 / d, 0.0, 0.25 / d})));

    std::vector<double> zeros(7, 0.0);
    eq.ChannelImpulse = &zeros;
    ASSERT_TRUE(eq.Setup(nullptr, msg));
    EXPECT_EQ(eq.ScaledChannel, std::vector<double>(1, 0.0));
}

TEST(FIRwMultipleStepRespListsSetup, UseFileGetsItsLineOnce)
{
    const std::string path = ::testing::TempDir() + "firwmultiple_use.txt";
    {
        std::ofstream use(path);
        Table t = makeTable(kEmphasis);
        std::vector<double> ch = makeChannel(200e-12, 50);
        FIRwMultipleStepRespLists eq;
        configure(eq, &ch, &t, 8);
        std::stringstream msg;
        ASSERT_TRUE(eq.Setup(&use, msg));
        ASSERT_TRUE(eq.Setup(&use, msg));
    }
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "Veltramodels20200612::FIRwStepRespList\n");
}

// ------------------------------------------------- convolution primitives

TEST(FIRwMultipleStepRespListsConvolution, DirectFormEqualsTheStreamedFIRBitForBit)
{
    Table t = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(200e-12, 50);
    FIRwMultipleStepRespLists eq;
    configure(eq, &ch, &t, 8);
    std::stringstream msg;
    ASSERT_TRUE(eq.Setup(nullptr, msg));
    std::vector<std::vector<double>> inputs = {
        eq.ScaledChannel,
        {0.0, 0.3, -0.7, 0.0, 0.0, 1.1, 0.2, -0.05},  // a leading zero and inner zeros
        {0.6, 0.0, 0.0, 0.0},                         // zeros after the first sample
        {2.5},
        {1e-3, -2e-3, 0.0, 5e-4, 1e-300, -7e-3, 0.1, 0.0, 3.0},
    };
    for (int k = 1; k <= 8; k += 3) {
        ASSERT_TRUE(eq.SetupEQ(1, k, msg) && eq.InitializeEQ(1, msg)) << msg.str();
        std::vector<double> taps = eq.EQ1.Taps();
        for (const auto& in : inputs) {
            std::vector<double> v(in);
            ASSERT_TRUE(eq.convolveEQ(1, 0, v, msg));
            EXPECT_TRUE(bitwiseEqual(v, streamedConvolution(in, taps, 0)))
                << "state " << k << " size " << in.size();
        }
    }
    // Taps with zeros inside and at both ends, and taps that cancel exactly.
    const std::vector<std::vector<double>> tapSets = {
        {0.0, 0.0, 0.4, 0.0, -0.1, 0.3, 0.0}, {0.5, -0.5}, {-1.0}};
    for (const auto& taps : tapSets) {
        eq.EQ1.Taps() = taps;
        for (const auto& in : inputs) {
            std::vector<double> v(in);
            ASSERT_TRUE(eq.convolveEQ(1, 0, v, msg));
            EXPECT_TRUE(bitwiseEqual(v, streamedConvolution(in, taps, 0))) << "taps " << taps.size();
        }
    }
    for (const auto& in : inputs) {
        FIRwMultipleStepRespLists plain;
        std::vector<double> v(in);
        // List 1 without states convolves with the single tap 1.0.
        plain.EQ1_NumStepResp = 0;
        ASSERT_TRUE(plain.convolveEQ(1, 0, v, msg));
        EXPECT_TRUE(bitwiseEqual(v, streamedConvolution(in, {1.0}, 0)));
    }
}

TEST(FIRwMultipleStepRespListsConvolution, DirectFormEqualsTheStreamedFIROnRandomCases)
{
    // Random inputs and taps with exact zeros sprinkled in (leading, inner,
    // trailing), of lengths around the eight-output blocks.
    std::uint64_t state = 12345;
    auto next = [&]() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) / 9007199254740992.0;
    };
    auto randomVector = [&](size_t n) {
        std::vector<double> v(n);
        for (double& s : v)
            s = next() < 0.25 ? 0.0 : (next() - 0.5) * std::pow(10.0, 6.0 * next() - 3.0);
        return v;
    };
    FIRwMultipleStepRespLists eq;
    eq.EQ1_NumStepResp = 1;
    std::stringstream msg;
    for (int trial = 0; trial < 300; ++trial) {
        const size_t n = 1 + static_cast<size_t>(next() * 90);
        const size_t m = 1 + static_cast<size_t>(next() * 40);
        const std::vector<double> in = randomVector(n);
        eq.EQ1.Taps() = randomVector(m);
        std::vector<double> v(in);
        ASSERT_TRUE(eq.convolveEQ(1, 0, v, msg));
        std::vector<double> streamed = streamedConvolution(in, eq.EQ1.Taps(), 0);
        if (streamed.empty())
            streamed.assign(1, 0.0);
        ASSERT_TRUE(bitwiseEqual(v, streamed)) << "trial " << trial << " n " << n << " m " << m;
    }
}

TEST(FIRwMultipleStepRespListsConvolution, FFTFormEqualsTheStreamedFFTUpToRounding)
{
    Table t = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(200e-12, 300);
    FIRwMultipleStepRespLists eq;
    configure(eq, &ch, &t, 8);
    std::stringstream msg;
    ASSERT_TRUE(eq.Setup(nullptr, msg));
    for (int k = 1; k <= 8; ++k) {
        ASSERT_TRUE(eq.SetupEQ(1, k, msg) && eq.InitializeEQ(1, msg));
        std::vector<double> fast(eq.ScaledChannel);
        ASSERT_TRUE(eq.convolveEQ(1, 1, fast, msg));
        std::vector<double> streamed = streamedConvolution(eq.ScaledChannel, eq.EQ1.Taps(), 1);
        std::vector<double> direct(eq.ScaledChannel);
        ASSERT_TRUE(eq.convolveEQ(1, 0, direct, msg));
        double peak = 0;
        for (double s : direct)
            peak = std::max(peak, std::fabs(s));
        // Rounding noise may stand where the direct form has exact leading
        // zeros; past it the three agree sample by sample.
        auto skipNoise = [&](const std::vector<double>& v) {
            size_t s = 0;
            while (s < v.size() && std::fabs(v[s]) < 1e-12 * peak)
                ++s;
            return std::vector<double>(v.begin() + s, v.end());
        };
        const std::vector<double> a = skipNoise(fast), b = skipNoise(streamed), c = skipNoise(direct);
        ASSERT_GT(c.size(), 100u);
        // Every form writes L samples from its first nonzero one on; the
        // samples past the convolution's end are zeros or noise.
        EXPECT_EQ(fast.size(), direct.size());
        EXPECT_EQ(streamed.size(), direct.size());
        auto at = [](const std::vector<double>& v, size_t i) { return i < v.size() ? v[i] : 0.0; };
        for (size_t i = 0; i < std::max(c.size(), std::max(a.size(), b.size())); ++i) {
            EXPECT_NEAR(at(a, i), at(c, i), 1e-12 * peak) << i;
            EXPECT_NEAR(at(b, i), at(c, i), 1e-12 * peak) << i;
        }
    }
}

TEST(FIRwMultipleStepRespListsConvolution, SpectrumReuseGivesTheSameSamples)
{
    Table t = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(200e-12, 300);
    FIRwMultipleStepRespLists a, b;
    configure(a, &ch, &t, 8);
    configure(b, &ch, &t, 8);
    std::stringstream msg;
    ASSERT_TRUE(a.Setup(nullptr, msg) && b.Setup(nullptr, msg));
    // a transforms the channel once for all states, b afresh for each one.
    for (int k = 1; k <= 8; ++k) {
        ASSERT_TRUE(a.SetupEQ(1, k, msg) && a.InitializeEQ(1, msg));
        ASSERT_TRUE(b.SetupEQ(1, k, msg) && b.InitializeEQ(1, msg));
        std::vector<double> va(a.ScaledChannel), vb(b.ScaledChannel);
        ASSERT_TRUE(a.convolveEQ(1, 1, va, msg));
        b.Finalize();
        ASSERT_TRUE(b.Setup(nullptr, msg));
        ASSERT_TRUE(b.SetupEQ(1, k, msg) && b.InitializeEQ(1, msg));
        ASSERT_TRUE(b.convolveEQ(1, 1, vb, msg));
        EXPECT_TRUE(bitwiseEqual(va, vb)) << k;
    }
}

TEST(FIRwMultipleStepRespListsConvolution, DegenerateInputs)
{
    FIRwMultipleStepRespLists eq;
    std::stringstream msg;
    std::vector<double> empty;
    EXPECT_FALSE(eq.convolveEQ(1, 0, empty, msg));
    EXPECT_FALSE(eq.convolveEQ(1, 1, empty, msg));
    std::vector<double> one = {1.0};
    EXPECT_FALSE(eq.convolveEQ(1, 2, one, msg));
    EXPECT_FALSE(eq.convolveEQ(5, 0, one, msg));
    // A response with no nonzero sample is a single zero sample.
    for (int fft = 0; fft <= 1; ++fft) {
        std::vector<double> zeros(5, 0.0);
        ASSERT_TRUE(eq.convolveEQ(1, fft, zeros, msg));
        EXPECT_EQ(zeros, std::vector<double>(1, 0.0));
    }
    EXPECT_EQ(msg.str(), "");
}

TEST(FIRwMultipleStepRespListsConvolution, TruncateAndInversion)
{
    FIRwMultipleStepRespLists eq;
    std::vector<double> v = {0.0, 0.0, 1.0, 0.0, -2.0, 0.0, 0.0};
    eq.truncateEQ(v);
    EXPECT_EQ(v, std::vector<double>({1.0, 0.0, -2.0}));
    std::vector<double> z = {0.0, 0.0, 0.0};
    eq.truncateEQ(z);
    EXPECT_EQ(z, std::vector<double>(1, 0.0));
    EXPECT_TRUE(eq.chInverted(v));
    EXPECT_FALSE(eq.chInverted({3.0, -3.0}));  // the first of equal magnitudes counts
    EXPECT_TRUE(eq.chInverted({-3.0, 3.0}));
    EXPECT_FALSE(eq.chInverted({0.0, 0.0}));
    EXPECT_FALSE(eq.chInverted({}));
}

// ------------------------------------------------------------- searches

namespace {

struct SingleListCase {
    Table table;
    std::vector<double> channel;
    std::vector<Trial> trials;
    int argmax = 0;  // first met on ties
};

SingleListCase singleListCase(const std::vector<double>& emphasis, double tau, int length, double sign = 1.0,
                              double level = 0.5)
{
    SingleListCase c;
    c.table = makeTable(emphasis);
    c.channel = makeChannel(tau, length, sign);
    double best = -1e40;
    for (int k = 1; k <= static_cast<int>(emphasis.size()); ++k) {
        c.trials.push_back(
            referenceTrial(c.channel, {&c.table}, {static_cast<int>(emphasis.size())}, {k}, level));
        if (c.trials.back().ratio > best) {
            best = c.trials.back().ratio;
            c.argmax = k;
        }
    }
    return c;
}

}  // namespace

TEST(FIRwMultipleStepRespListsSearch, ExhaustiveSearchPicksTheBruteForceArgmax)
{
    SingleListCase c = singleListCase(kEmphasis, 200e-12, 150);
    ASSERT_GT(c.argmax, 1);
    ASSERT_LT(c.argmax, 8);
    FIRwMultipleStepRespLists eq;
    configure(eq, &c.channel, &c.table, 8);
    eq.AdaptStepRespIndex = 1;  // one list: exhaustive whatever the type
    eq.AdaptStepRespIndexType = 1;
    std::stringstream msg;
    ASSERT_TRUE(eq.Setup(nullptr, msg));
    ASSERT_TRUE(eq.Initialize(msg)) << msg.str();
    const Trial& best = c.trials[c.argmax - 1];
    EXPECT_EQ(eq.EQ1_StepRespIndex, c.argmax);
    EXPECT_EQ(eq.EQ2_StepRespIndex, 1);
    EXPECT_EQ(eq.StateCount, 8);
    EXPECT_EQ(eq.CycleCount, 1);
    // The final evaluation is the direct form: the brute-force numbers exactly.
    EXPECT_TRUE(bitwiseEqual(eq.EqualizedResponse, best.response));
    EXPECT_EQ(eq.BestEyeRatio, best.ratio);
    EXPECT_EQ(msg.str(), "Optimization of EQ over count = 8 states resulting in max open eye ratio = " +
                             fmt(best.ratio) + " with optimized states\nEQ1_StepRespIndex = " +
                             std::to_string(c.argmax) + "\n");
}

TEST(FIRwMultipleStepRespListsSearch, TiesGoToTheCombinationMetFirst)
{
    SingleListCase c = singleListCase(kEmphasis, 200e-12, 150);
    Table dup = c.table;
    // The best state twice in a row: both give the same ratio.
    dup.cols.insert(dup.cols.begin() + c.argmax, dup.cols[c.argmax]);
    FIRwMultipleStepRespLists eq;
    configure(eq, &c.channel, &dup, 9);
    eq.AdaptStepRespIndex = 1;
    eq.SuppressMessages = 1;
    std::stringstream msg;
    ASSERT_TRUE(eq.Setup(nullptr, msg));
    ASSERT_TRUE(eq.Initialize(msg));
    EXPECT_EQ(eq.EQ1_StepRespIndex, c.argmax);
    EXPECT_EQ(eq.StateCount, 9);
    EXPECT_EQ(msg.str(), "");
}

TEST(FIRwMultipleStepRespListsSearch, InvertedChannelGivesTheSameChoiceAndAPositiveResponse)
{
    SingleListCase c = singleListCase(kEmphasis, 200e-12, 150);
    std::vector<double> neg(c.channel);
    for (double& s : neg)
        s = -s;
    FIRwMultipleStepRespLists a, b;
    configure(a, &c.channel, &c.table, 8);
    configure(b, &neg, &c.table, 8);
    a.AdaptStepRespIndex = b.AdaptStepRespIndex = 1;
    a.AdaptForChLoss = b.AdaptForChLoss = 3;
    std::stringstream ma, mb;
    ASSERT_TRUE(a.Setup(nullptr, ma) && a.Initialize(ma));
    ASSERT_TRUE(b.Setup(nullptr, mb) && b.Initialize(mb));
    EXPECT_EQ(b.EQ1_StepRespIndex, c.argmax);
    EXPECT_EQ(a.EQ1_StepRespIndex, b.EQ1_StepRespIndex);
    EXPECT_TRUE(bitwiseEqual(a.EqualizedResponse, b.EqualizedResponse));
    EXPECT_FALSE(b.chInverted(b.EqualizedResponse));
    EXPECT_EQ(a.BestEyeRatio, b.BestEyeRatio);
    EXPECT_EQ(a.Gain, b.Gain);
    EXPECT_EQ(ma.str(), mb.str());
}

TEST(FIRwMultipleStepRespListsSearch, AllClosedKeepsTheLeastClosedState)
{
    SingleListCase c = singleListCase({0.0, 0.05, 0.1}, 3000e-12, 400);
    for (const Trial& t : c.trials)
        ASSERT_LE(t.ratio, 0.0);
    FIRwMultipleStepRespLists eq;
    configure(eq, &c.channel, &c.table, 3);
    eq.AdaptStepRespIndex = 1;
    std::stringstream msg;
    ASSERT_TRUE(eq.Setup(nullptr, msg) && eq.Initialize(msg)) << msg.str();
    EXPECT_EQ(eq.EQ1_StepRespIndex, c.argmax);
    EXPECT_EQ(eq.BestEyeRatio, c.trials[c.argmax - 1].ratio);
    EXPECT_EQ(msg.str(),
              "Optimization of EQ over count = 3 states resulting in a closed eye with optimized states\n"
              "EQ1_StepRespIndex = " +
                  std::to_string(c.argmax) + "\n");
}

TEST(FIRwMultipleStepRespListsSearch, AllZeroChannelKeepsTheFirstStateAndTheGain)
{
    Table t = makeTable(kEmphasis);
    std::vector<double> zeros(40, 0.0);
    for (int mode = 0; mode <= 3; ++mode) {
        FIRwMultipleStepRespLists eq;
        configure(eq, &zeros, &t, 8);
        eq.AdaptStepRespIndex = 1;
        eq.AdaptForChLoss = mode;
        eq.Gain_dB = 2.0;
        std::stringstream msg;
        ASSERT_TRUE(eq.Setup(nullptr, msg));
        ASSERT_TRUE(eq.Initialize(msg)) << msg.str();
        EXPECT_EQ(eq.EQ1_StepRespIndex, 1);
        EXPECT_EQ(eq.BestEyeRatio, 0.0);
        EXPECT_EQ(eq.EqualizedResponse, std::vector<double>(1, 0.0));
        EXPECT_EQ(eq.Gain, std::pow(10.0, 0.1));
        EXPECT_TRUE(std::isfinite(eq.Gain_dB));
        std::string expected =
            "Optimization of EQ over count = 8 states resulting in a closed eye with optimized states\n"
            "EQ1_StepRespIndex = 1\n";
        const std::string db = fmt(20 * std::log10(std::pow(10.0, 0.1)));
        if (mode == 1)
            expected += "To adapt channel+equalizer loss for 1 level at 0 Hz, a gain of " + db;
        if (mode == 2)
            expected +=
                "To adapt channel+equalizer loss for 1 level at Nyquist ( 2e+09 ) Hz, a gain of " + db;
        if (mode == 3)
            expected += "To adapt channel+equalizer loss for peak to peak eye level ( 1 ), a gain of " + db;
        if (mode != 0)
            expected += " dB is added at the equalizer output.\n";
        EXPECT_EQ(msg.str(), expected) << mode;
        // Run streams through state 1 with the unchanged gain.
        const std::vector<double> taps = stateTaps(t, 8, 1);
        for (size_t i = 0; i < 5; ++i) {
            eq.Input = i == 0 ? 1.0 : 0.0;
            eq.Run(msg);
            EXPECT_EQ(eq.EQ4_Output, taps[i] * eq.Gain);
        }
    }
}

TEST(FIRwMultipleStepRespListsSearch, ExhaustiveFailureKeepsTheBestSoFar)
{
    // Separate-columns layout; state 2 has too few rows.
    Table good = makeTable(kEmphasis);
    Table t;
    for (int k = 1; k <= 3; ++k) {
        t.cols.push_back(good.cols[0]);
        t.cols.push_back(good.cols[k]);
    }
    for (size_t j = 3; j < t.cols[2].size(); ++j)
        t.cols[2][j] = 0.0;
    std::vector<double> ch = makeChannel(200e-12, 150);
    FIRwMultipleStepRespLists eq;
    configure(eq, &ch, &t, 3);
    eq.EQ1_ColumnArrangement = 0;
    eq.AdaptStepRespIndex = 1;
    std::stringstream msg;
    ASSERT_TRUE(eq.Setup(nullptr, msg));
    EXPECT_FALSE(eq.Initialize(msg));
    EXPECT_EQ(msg.str(), "At least 4 step response values are required.\n"
                         "Failed during EQ settings optimization.\n"
                         "Failed to optimize EQ settings.\n");
    EXPECT_EQ(eq.EQ1_StepRespIndex, 1);
    EXPECT_EQ(eq.StateCount, 1);
}

TEST(FIRwMultipleStepRespListsSearch, FinalEvaluationFailureNamesTheStage)
{
    Table good = makeTable(kEmphasis);
    Table t;
    for (int k = 1; k <= 3; ++k) {
        t.cols.push_back(good.cols[0]);
        t.cols.push_back(good.cols[k]);
    }
    for (size_t j = 3; j < t.cols[2].size(); ++j)
        t.cols[2][j] = 0.0;
    std::vector<double> ch = makeChannel(200e-12, 150);
    FIRwMultipleStepRespLists eq;
    configure(eq, &ch, &good, 8, &t, 3);
    eq.EQ2_ColumnArrangement = 0;
    eq.EQ1_StepRespIndex = 4;
    eq.EQ2_StepRespIndex = 2;
    std::stringstream msg;
    ASSERT_TRUE(eq.Setup(nullptr, msg)) << msg.str();
    EXPECT_FALSE(eq.Initialize(msg));
    EXPECT_EQ(msg.str(), "At least 4 step response values are required.\nFailed setting EQ2.\n");
}

// ------------------------------------------------------------ two lists

namespace {

struct TwoListCase {
    Table t1 = makeTable({0.0, 0.3, 0.6, 0.9, 1.2, 1.5});
    Table t2 = makeTable({0, 0, 0, 0}, {160e-12, 80e-12, 40e-12, 20e-12});
    std::vector<double> channel = makeChannel(200e-12, 150);
    std::map<std::pair<int, int>, Trial> trials;
    const Trial& at(int i1, int i2)
    {
        auto key = std::make_pair(i1, i2);
        if (!trials.count(key))
            trials[key] = referenceTrial(channel, {&t1, &t2}, {6, 4}, {i1, i2});
        return trials[key];
    }
};

}  // namespace

TEST(FIRwMultipleStepRespListsSearch, SequentialSearchFollowsCoordinateAscentAndMatchesExhaustive)
{
    TwoListCase c;
    // Brute force over all combinations (i1 outer): the unique optimum.
    double best = -1e40, second = -1e40;
    int b1 = 0, b2 = 0;
    for (int i1 = 1; i1 <= 6; ++i1)
        for (int i2 = 1; i2 <= 4; ++i2) {
            const double r = c.at(i1, i2).ratio;
            if (r > best) {
                second = best;
                best = r;
                b1 = i1;
                b2 = i2;
            } else if (r > second) {
                second = r;
            }
        }
    ASSERT_GT(best - second, 1e-6);
    // Coordinate ascent on the brute-force ratios.
    int idx[2] = {1, 1}, prev[2] = {1, 1}, cycles = 0;
    double seqBest = -1e40;
    for (;;) {
        for (int p = 0; p < 10; ++p) {
            int cand[2] = {idx[0], idx[1]};
            const int list = p < 6 ? 0 : 1;
            cand[list] = p < 6 ? p + 1 : p - 5;
            const double r = c.at(cand[0], cand[1]).ratio;
            if (r > seqBest) {
                seqBest = r;
                idx[list] = cand[list];
            }
        }
        ++cycles;
        if (idx[0] == prev[0] && idx[1] == prev[1])
            break;
        prev[0] = idx[0];
        prev[1] = idx[1];
    }
    ASSERT_EQ(idx[0], b1);
    ASSERT_EQ(idx[1], b2);
    ASSERT_GT(cycles, 2);  // the ascent has to revisit EQ1 after moving EQ2

    FIRwMultipleStepRespLists seq;
    configure(seq, &c.channel, &c.t1, 6, &c.t2, 4);
    seq.AdaptStepRespIndex = 1;
    seq.AdaptStepRespIndexType = 1;
    std::stringstream ms;
    ASSERT_TRUE(seq.Setup(nullptr, ms));
    ASSERT_TRUE(seq.Initialize(ms)) << ms.str();
    EXPECT_EQ(seq.EQ1_StepRespIndex, b1);
    EXPECT_EQ(seq.EQ2_StepRespIndex, b2);
    EXPECT_EQ(seq.CycleCount, cycles);
    EXPECT_EQ(ms.str(), "Sequential optimization of EQ with " + std::to_string(cycles) +
                            " cycles resulted in max open eye ratio = " + fmt(seqBest) +
                            " with optimized states\nEQ1_StepRespIndex = " + std::to_string(b1) +
                            ",  EQ2_StepRespIndex = " + std::to_string(b2) + "\n");
    EXPECT_TRUE(bitwiseEqual(seq.EqualizedResponse, c.at(b1, b2).response));
    EXPECT_EQ(seq.BestEyeRatio, c.at(b1, b2).ratio);

    FIRwMultipleStepRespLists ex;
    configure(ex, &c.channel, &c.t1, 6, &c.t2, 4);
    ex.AdaptStepRespIndex = 1;
    ex.AdaptStepRespIndexType = 0;
    std::stringstream me;
    ASSERT_TRUE(ex.Setup(nullptr, me));
    ASSERT_TRUE(ex.Initialize(me)) << me.str();
    EXPECT_EQ(ex.EQ1_StepRespIndex, b1);
    EXPECT_EQ(ex.EQ2_StepRespIndex, b2);
    EXPECT_EQ(ex.StateCount, 24);
    EXPECT_EQ(me.str(), "Optimization of EQ over count = 24 states resulting in max open eye ratio = " +
                            fmt(best) + " with optimized states\nEQ1_StepRespIndex = " + std::to_string(b1) +
                            ",  EQ2_StepRespIndex = " + std::to_string(b2) + "\n");
}

TEST(FIRwMultipleStepRespListsSearch, SequentialFailureCountsTheCycle)
{
    TwoListCase c;
    Table t2;
    for (int k = 1; k <= 3; ++k) {
        t2.cols.push_back(c.t2.cols[0]);
        t2.cols.push_back(c.t2.cols[k]);
    }
    for (size_t j = 3; j < t2.cols[2].size(); ++j)
        t2.cols[2][j] = 0.0;
    FIRwMultipleStepRespLists eq;
    configure(eq, &c.channel, &c.t1, 6, &t2, 3);
    eq.EQ2_ColumnArrangement = 0;
    eq.AdaptStepRespIndex = 1;
    std::stringstream msg;
    ASSERT_TRUE(eq.Setup(nullptr, msg));
    EXPECT_FALSE(eq.Initialize(msg));
    EXPECT_EQ(msg.str(), "At least 4 step response values are required.\n"
                         "Failed during optimization.\n"
                         "Failed to optimize EQ settings.\n");
    EXPECT_EQ(eq.CycleCount, 1);
    // The best EQ1 state of the first scan (with EQ2 state 1) is kept.
    int best = 1;
    for (int i1 = 2; i1 <= 6; ++i1)
        if (c.at(i1, 1).ratio > c.at(best, 1).ratio)
            best = i1;
    EXPECT_EQ(eq.EQ1_StepRespIndex, best);
}

// ------------------------------------------ final evaluation and gains

namespace {

// |H(BitRate/2)| by a plain DFT at that frequency (a bin of the 2048-point
// transform for these settings).
double magnitudeAtNyquist(const std::vector<double>& h)
{
    const double pi = std::acos(-1.0);
    std::complex<double> s(0.0, 0.0);
    for (size_t n = 0; n < h.size(); ++n)
        s += h[n] * std::polar(1.0, -2.0 * pi * 0.5 * n / kSpb);
    return std::abs(s);
}

}  // namespace

TEST(FIRwMultipleStepRespListsEvaluation, SelectedStateMessagesAndGainAdaptations)
{
    SingleListCase c = singleListCase(kEmphasis, 200e-12, 150);
    const int k = 3;
    const Trial& t = c.trials[k - 1];
    ASSERT_GT(t.wc, 0.0);
    for (int mode = 0; mode <= 3; ++mode) {
        FIRwMultipleStepRespLists eq;
        configure(eq, &c.channel, &c.table, 8);
        eq.EQ1_StepRespIndex = k;
        eq.AdaptForChLoss = mode;
        eq.AGC_Level = 0.8;
        eq.Gain_dB = 3.0;
        std::stringstream msg;
        ASSERT_TRUE(eq.Setup(nullptr, msg));
        ASSERT_TRUE(eq.Initialize(msg)) << msg.str();
        EXPECT_TRUE(bitwiseEqual(eq.EqualizedResponse, t.response));
        EXPECT_EQ(eq.BestEyeRatio, t.ratio);
        std::string expected = "For the selected EQ states the open eye ratio = " + fmt(t.ratio) + "\n";
        double gain = std::pow(10.0, 3.0 / 20.0);
        if (mode == 1) {
            double sum = 0.0;
            for (double s : t.response)
                sum += s;
            gain = 0.8 / sum;
            EXPECT_EQ(eq.Gain, gain);
        } else if (mode == 2) {
            gain = 0.8 / magnitudeAtNyquist(t.response);
            EXPECT_NEAR(eq.Gain, gain, 1e-9 * gain);
        } else if (mode == 3) {
            gain = 0.8 / (t.wc + t.bc);
            EXPECT_EQ(eq.Gain, gain);
        } else {
            EXPECT_EQ(eq.Gain, gain);
        }
        EXPECT_EQ(eq.Gain_dB, 20.0 * std::log10(eq.Gain));
        const std::string db = fmt(eq.Gain_dB) + " dB is added at the equalizer output.\n";
        if (mode == 1)
            expected += "To adapt channel+equalizer loss for 0.8 level at 0 Hz, a gain of " + db;
        if (mode == 2)
            expected +=
                "To adapt channel+equalizer loss for 0.8 level at Nyquist ( 2e+09 ) Hz, a gain of " + db;
        if (mode == 3)
            expected += "To adapt channel+equalizer loss for peak to peak eye level ( 0.8 ), a gain of " + db;
        EXPECT_EQ(msg.str(), expected) << mode;

        // Streaming the channel reproduces the equalised response times the gain.
        const std::vector<double>& ch = eq.ScaledChannel;
        const std::vector<double> y = naiveConvolution(ch, stateTaps(c.table, 8, k));
        double peak = 0;
        for (double s : y)
            peak = std::max(peak, std::fabs(s));
        for (size_t i = 0; i < y.size(); ++i) {
            eq.Input = i < ch.size() ? ch[i] : 0.0;
            eq.Run(msg);
            ASSERT_NEAR(eq.EQ4_Output, y[i] * eq.Gain, 1e-13 * peak * eq.Gain) << i;
            EXPECT_EQ(eq.EQ1_Output, eq.EQ4_Output);
        }
        EXPECT_EQ(eq.SampleCount, static_cast<std::int64_t>(y.size()));
    }
}

TEST(FIRwMultipleStepRespListsEvaluation, ClosedEyeWithPeakToPeakAdaptationUsesTheBestCaseLevel)
{
    SingleListCase c = singleListCase({0.0, 0.05, 0.1}, 3000e-12, 400);
    const Trial& t = c.trials[1];
    ASSERT_LE(t.wc, 0.0);
    FIRwMultipleStepRespLists eq;
    configure(eq, &c.channel, &c.table, 3);
    eq.EQ1_StepRespIndex = 2;
    eq.AdaptForChLoss = 3;
    std::stringstream msg;
    ASSERT_TRUE(eq.Setup(nullptr, msg) && eq.Initialize(msg)) << msg.str();
    EXPECT_EQ(eq.Gain, 1.0 / t.bc);
    EXPECT_EQ(msg.str(), "For the selected EQ states, the eye is closed.\n"
                         "To adapt channel+equalizer loss for peak to peak eye level ( 1 ), a gain of " +
                             fmt(eq.Gain_dB) + " dB is added at the equalizer output.\n");
}

TEST(FIRwMultipleStepRespListsEvaluation, NoListWithLevelAdaptationEvaluatesTheChannelAlone)
{
    Table t = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(200e-12, 150);
    ch.insert(ch.begin(), 3, 0.0);
    FIRwMultipleStepRespLists eq;
    configure(eq, &ch, &t, 0);
    eq.AdaptForChLoss = 1;
    eq.AGC_Level = 2.0;
    std::stringstream msg;
    ASSERT_TRUE(eq.Setup(nullptr, msg));
    ASSERT_TRUE(eq.Initialize(msg)) << msg.str();
    std::vector<double> expected = trimZeros(scaledChannel(ch));
    EXPECT_TRUE(bitwiseEqual(eq.EqualizedResponse, expected));
    double sum = 0.0;
    for (double s : expected)
        sum += s;
    EXPECT_EQ(eq.Gain, 2.0 / sum);
    double bc, wc;
    referenceEye(expected, 0.5, &bc, &wc);
    EXPECT_EQ(eq.BestEyeRatio, wc / bc);
    EXPECT_EQ(msg.str(), "For the selected EQ states the open eye ratio = " + fmt(wc / bc) +
                             "\nTo adapt channel+equalizer loss for 2 level at 0 Hz, a gain of " +
                             fmt(eq.Gain_dB) + " dB is added at the equalizer output.\n");
    for (double x : {1.0, -0.5, 0.25}) {
        eq.Input = x;
        eq.Run(msg);
        EXPECT_EQ(eq.EQ1_Output, x * eq.Gain);
        EXPECT_EQ(eq.EQ4_Output, x * eq.Gain);
    }
}

TEST(FIRwMultipleStepRespListsEvaluation, NoListAndNoAdaptationIsAPureGain)
{
    Table t = makeTable(kEmphasis);
    std::vector<double> ch = makeChannel(200e-12, 150);
    FIRwMultipleStepRespLists eq;
    configure(eq, &ch, &t, 0);
    eq.Gain_dB = -6.0;
    std::stringstream msg;
    ASSERT_TRUE(eq.Setup(nullptr, msg));
    ASSERT_TRUE(eq.Initialize(msg));
    EXPECT_EQ(msg.str(), "");
    EXPECT_TRUE(eq.EqualizedResponse.empty());
    eq.Input = 3.0;
    eq.Run(msg);
    EXPECT_EQ(eq.EQ4_Output, 3.0 * std::pow(10.0, -0.3));
    EXPECT_EQ(eq.SampleCount, 1);
}

TEST(FIRwMultipleStepRespListsEvaluation, SkipFinalEvaluationStillPreparesRun)
{
    SingleListCase c = singleListCase(kEmphasis, 200e-12, 150);
    FIRwMultipleStepRespLists eq;
    configure(eq, &c.channel, &c.table, 8);
    eq.AdaptStepRespIndex = 1;
    eq.AdaptForChLoss = 1;
    eq.SkipFinalEvaluation = 1;
    eq.SuppressMessages = 1;
    std::stringstream msg;
    ASSERT_TRUE(eq.Setup(nullptr, msg) && eq.Initialize(msg));
    EXPECT_EQ(eq.EQ1_StepRespIndex, c.argmax);
    EXPECT_TRUE(eq.EqualizedResponse.empty());
    EXPECT_EQ(eq.Gain, 1.0);
    EXPECT_EQ(msg.str(), "");
    const std::vector<double> taps = stateTaps(c.table, 8, c.argmax);
    for (size_t i = 0; i < taps.size(); ++i) {
        eq.Input = i == 0 ? 1.0 : 0.0;
        eq.Run(msg);
        EXPECT_EQ(eq.EQ4_Output, taps[i]);
    }
}

TEST(FIRwMultipleStepRespListsRun, TwoListStagesAndRebuildWithTheStoredIndexes)
{
    TwoListCase c;
    FIRwMultipleStepRespLists eq;
    configure(eq, &c.channel, &c.t1, 6, &c.t2, 4);
    eq.AdaptStepRespIndex = 1;
    eq.AdaptForChLoss = 3;
    eq.SuppressMessages = 1;
    std::stringstream msg;
    ASSERT_TRUE(eq.Setup(nullptr, msg) && eq.Initialize(msg)) << msg.str();
    const int i1 = eq.EQ1_StepRespIndex, i2 = eq.EQ2_StepRespIndex;
    const double gain = eq.Gain;
    EXPECT_EQ(gain, 1.0 / (c.at(i1, i2).wc + c.at(i1, i2).bc));

    const std::vector<double> taps1 = stateTaps(c.t1, 6, i1);
    const std::vector<double> taps2 = stateTaps(c.t2, 4, i2);
    // Cascade impulse response, summed in the order of the second FIR.
    std::vector<double> both(taps1.size() + taps2.size() - 1, 0.0);
    for (size_t t = 0; t < both.size(); ++t)
        for (size_t i = 0; i < taps2.size() && i <= t; ++i)
            if (t - i < taps1.size())
                both[t] += taps2[i] * taps1[t - i];
    auto stream = [&](FIRwMultipleStepRespLists& s) {
        for (size_t t = 0; t < both.size(); ++t) {
            s.Input = t == 0 ? 1.0 : 0.0;
            s.Run(msg);
            ASSERT_EQ(s.EQ1_Output, t < taps1.size() ? taps1[t] : 0.0) << t;
            ASSERT_EQ(s.EQ2_Output, both[t] * gain) << t;
            ASSERT_EQ(s.EQ3_Output, s.EQ2_Output);
            ASSERT_EQ(s.EQ4_Output, s.EQ2_Output);
            ASSERT_EQ(s.FinalOutput(), s.EQ4_Output);
        }
    };
    stream(eq);

    // The owner's rebuild for Run: no search, the stored indexes and gain.
    eq.Finalize();
    eq.AdaptStepRespIndex = 0;
    eq.AdaptForChLoss = 0;
    eq.Gain_dB = 20.0 * std::log10(gain);
    std::stringstream scratch;
    ASSERT_TRUE(eq.Setup(nullptr, scratch) && eq.Initialize(scratch)) << scratch.str();
    EXPECT_EQ(eq.EQ1_StepRespIndex, i1);
    EXPECT_EQ(eq.EQ2_StepRespIndex, i2);
    EXPECT_NEAR(eq.Gain, gain, 1e-12 * gain);
}

TEST(FIRwMultipleStepRespListsSearch, FourListsExhaustiveAndSequential)
{
    Table t1 = makeTable({0.0, 0.5});
    Table t2 = makeTable({0, 0}, {80e-12, 20e-12});
    Table t3 = makeTable({0.2, 0.0});
    Table t4 = makeTable({0, 0}, {30e-12, 60e-12});
    std::vector<double> ch = makeChannel(150e-12, 120);
    std::vector<Table*> tables = {&t1, &t2, &t3, &t4};
    double best = -1e40;
    std::vector<int> arg;
    for (int a = 1; a <= 2; ++a)
        for (int b = 1; b <= 2; ++b)
            for (int c = 1; c <= 2; ++c)
                for (int d = 1; d <= 2; ++d) {
                    const double r = referenceTrial(ch, tables, {2, 2, 2, 2}, {a, b, c, d}).ratio;
                    if (r > best) {
                        best = r;
                        arg = {a, b, c, d};
                    }
                }
    const Trial ref = referenceTrial(ch, tables, {2, 2, 2, 2}, arg);
    for (int type = 0; type <= 1; ++type) {
        FIRwMultipleStepRespLists eq;
        configure(eq, &ch, &t1, 2, &t2, 2);
        eq.EQ3_NumStepResp = eq.EQ4_NumStepResp = 2;
        eq.EQ3_StepResp_data_values = t3.ptr();
        eq.EQ4_StepResp_data_values = t4.ptr();
        eq.EQ3_ColumnArrangement = eq.EQ4_ColumnArrangement = 1;
        eq.AdaptStepRespIndex = 1;
        eq.AdaptStepRespIndexType = type;
        std::stringstream msg;
        ASSERT_TRUE(eq.Setup(nullptr, msg));
        ASSERT_TRUE(eq.Initialize(msg)) << msg.str();
        const std::string line = "EQ1_StepRespIndex = " + std::to_string(eq.EQ1_StepRespIndex) +
                                 ",  EQ2_StepRespIndex = " + std::to_string(eq.EQ2_StepRespIndex) +
                                 ",  EQ3_StepRespIndex = " + std::to_string(eq.EQ3_StepRespIndex) +
                                 ",  EQ4_StepRespIndex = " + std::to_string(eq.EQ4_StepRespIndex) + "\n";
        if (type == 0) {
            EXPECT_EQ(std::vector<int>({eq.EQ1_StepRespIndex, eq.EQ2_StepRespIndex, eq.EQ3_StepRespIndex,
                                        eq.EQ4_StepRespIndex}),
                      arg);
            EXPECT_EQ(eq.StateCount, 16);
            EXPECT_TRUE(bitwiseEqual(eq.EqualizedResponse, ref.response));
            EXPECT_EQ(eq.BestEyeRatio, ref.ratio);
            EXPECT_EQ(msg.str(),
                      "Optimization of EQ over count = 16 states resulting in max open eye ratio = " +
                          fmt(best) + " with optimized states\n" + line);
        } else {
            // Coordinate ascent ends in a state no single-list change improves.
            const std::vector<int> got = {eq.EQ1_StepRespIndex, eq.EQ2_StepRespIndex, eq.EQ3_StepRespIndex,
                                          eq.EQ4_StepRespIndex};
            const double r = referenceTrial(ch, tables, {2, 2, 2, 2}, got).ratio;
            for (int l = 0; l < 4; ++l) {
                std::vector<int> other = got;
                other[l] = 3 - other[l];
                EXPECT_LE(referenceTrial(ch, tables, {2, 2, 2, 2}, other).ratio, r + 1e-12);
            }
            EXPECT_GE(eq.CycleCount, 2);
            EXPECT_EQ(msg.str().substr(msg.str().find('\n') + 1), line);
        }
    }
}

TEST(FIRwMultipleStepRespListsSearch, SequentialClosedEyeWording)
{
    Table t1 = makeTable({0.0, 0.05});
    Table t2 = makeTable({0, 0}, {30e-12, 60e-12});
    std::vector<double> ch = makeChannel(3000e-12, 400);
    FIRwMultipleStepRespLists eq;
    configure(eq, &ch, &t1, 2, &t2, 2);
    eq.AdaptStepRespIndex = 1;
    std::stringstream msg;
    ASSERT_TRUE(eq.Setup(nullptr, msg));
    ASSERT_TRUE(eq.Initialize(msg)) << msg.str();
    EXPECT_LE(eq.BestEyeRatio, 0.0);
    EXPECT_EQ(msg.str(), "Optimization of EQ with " + std::to_string(eq.CycleCount) +
                             " cycles resulted in a closed eye with optimized states\nEQ1_StepRespIndex = " +
                             std::to_string(eq.EQ1_StepRespIndex) +
                             ",  EQ2_StepRespIndex = " + std::to_string(eq.EQ2_StepRespIndex) + "\n");
}
