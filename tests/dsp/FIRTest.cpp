#include "dsp/FIR.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

using Veltramodels20200612::FIR;

namespace {

struct FirRun {
    bool setupOk = false;
    std::string setupText;
    std::string runText;
    std::vector<double> out;
};

// Feeds input, then zeros, through a freshly set-up filter and collects
// `outputs` samples.
FirRun runFir(std::vector<double>& taps, int enableFFT, const std::vector<double>& input, std::size_t outputs,
              double initialValue = 0.0, int pow2 = 0, FIR* keep = nullptr)
{
    FIR local;
    FIR& fir = keep != nullptr ? *keep : local;
    fir.Taps = &taps;
    fir.EnableFFT = enableFFT;
    fir.InitialValue = initialValue;
    fir.FFTPow2Size = pow2;
    std::stringstream setupMsg;
    FirRun r;
    r.setupOk = fir.Setup(nullptr, setupMsg);
    r.setupText = setupMsg.str();
    if (!r.setupOk)
        return r;
    fir.Initialize();
    std::stringstream runMsg;
    for (std::size_t t = 0; t < outputs; ++t) {
        fir.Input = t < input.size() ? input[t] : 0.0;
        fir.Run(runMsg);
        r.out.push_back(fir.Output);
    }
    r.runText = runMsg.str();
    return r;
}

// y[t] = sum_i taps[i] * x[t - i], taps in ascending order, x = initialValue
// before the first sample and 0 after the last.
std::vector<double> naiveConvolution(const std::vector<double>& taps, const std::vector<double>& x,
                                     std::size_t outputs, double initialValue = 0.0)
{
    std::vector<double> y(outputs, 0.0);
    for (std::size_t t = 0; t < outputs; ++t) {
        double acc = 0.0;
        for (std::size_t i = 0; i < taps.size(); ++i) {
            const long long idx = static_cast<long long>(t) - static_cast<long long>(i);
            if (idx < 0 && initialValue == 0.0)
                break;
            const double xv =
                idx < 0 ? initialValue : (idx < static_cast<long long>(x.size()) ? x[idx] : 0.0);
            acc += taps[i] * xv;
        }
        y[t] = acc;
    }
    return y;
}

std::vector<double> randomTaps(std::mt19937& gen, std::size_t nonzero, std::size_t leadingZeros,
                               std::size_t trailingZeros)
{
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> taps(leadingZeros, 0.0);
    for (std::size_t i = 0; i < nonzero; ++i)
        taps.push_back(u(gen));
    // Keep the span's end points nonzero so the span is exactly `nonzero` long.
    if (nonzero > 0) {
        if (taps[leadingZeros] == 0.0)
            taps[leadingZeros] = 0.5;
        if (taps.back() == 0.0)
            taps.back() = -0.5;
    }
    taps.insert(taps.end(), trailingZeros, 0.0);
    return taps;
}

std::vector<double> randomInput(std::mt19937& gen, std::size_t n)
{
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> x(n);
    for (auto& v : x)
        v = u(gen);
    return x;
}

double maxAbs(const std::vector<double>& v)
{
    double m = 0.0;
    for (double x : v)
        m = std::max(m, std::fabs(x));
    return m;
}

}  // namespace

TEST(FIRTest, DirectModeEqualsNaiveConvolutionExactly)
{
    std::mt19937 gen(11);
    std::uniform_int_distribution<int> len(1, 300);
    std::uniform_int_distribution<int> zeros(0, 5);
    for (int trial = 0; trial < 60; ++trial) {
        std::vector<double> taps = randomTaps(gen, len(gen), zeros(gen), zeros(gen));
        const std::vector<double> x = randomInput(gen, len(gen));
        const std::size_t outputs = x.size() + taps.size() + 3;
        const FirRun r = runFir(taps, 0, x, outputs);
        ASSERT_TRUE(r.setupOk);
        EXPECT_EQ(r.setupText, "");
        const std::vector<double> ref = naiveConvolution(taps, x, outputs);
        for (std::size_t t = 0; t < outputs; ++t)
            ASSERT_EQ(r.out[t], ref[t]) << "trial " << trial << " t " << t;
    }
}

TEST(FIRTest, DirectModeTakesInitialValueForEarlierSamples)
{
    std::mt19937 gen(12);
    std::vector<double> taps = randomTaps(gen, 17, 2, 3);
    const std::vector<double> x = randomInput(gen, 40);
    const FirRun r = runFir(taps, 0, x, 70, 0.75);
    ASSERT_TRUE(r.setupOk);
    const std::vector<double> ref = naiveConvolution(taps, x, 70, 0.75);
    for (std::size_t t = 0; t < 70; ++t)
        EXPECT_EQ(r.out[t], ref[t]) << "t " << t;
    // A constant input equal to the initial value is a steady state from the start.
    std::vector<double> dc(30, 0.75);
    const FirRun steady = runFir(taps, 0, dc, 30, 0.75);
    double sum = 0.0;
    for (double h : taps)
        sum += h;
    for (double y : steady.out)
        EXPECT_NEAR(y, 0.75 * sum, 1e-14);
}

TEST(FIRTest, FFTModeEqualsDirectModeDelayedByBlockSize)
{
    std::mt19937 gen(13);
    std::uniform_int_distribution<int> len(1, 400);
    std::uniform_int_distribution<int> zeros(0, 6);
    std::vector<std::size_t> tapCounts;
    for (int trial = 0; trial < 50; ++trial)
        tapCounts.push_back(len(gen));
    tapCounts.insert(tapCounts.end(), {1, 2, 3, 4, 5, 2047, 2048, 2049, 5000});
    for (std::size_t nonzero : tapCounts) {
        std::vector<double> taps = randomTaps(gen, nonzero, zeros(gen), zeros(gen));
        const std::vector<double> x = randomInput(gen, std::uniform_int_distribution<int>(1, 3000)(gen));

        FIR fir;
        const std::size_t total = x.size() + taps.size() + 2 * taps.size() + 8;
        const FirRun fft = runFir(taps, 1, x, total, 0.0, 0, &fir);
        ASSERT_TRUE(fft.setupOk) << fft.setupText;
        const std::size_t block = static_cast<std::size_t>(fir.FFTBlockSize);
        const FirRun direct = runFir(taps, 0, x, total - block);
        const double scale = maxAbs(direct.out);

        for (std::size_t t = 0; t < block; ++t)
            ASSERT_EQ(fft.out[t], 0.0) << "t " << t;
        double worst = 0.0;
        for (std::size_t t = 0; t + block < total; ++t)
            worst = std::max(worst, std::fabs(fft.out[t + block] - direct.out[t]));
        EXPECT_LE(worst, 1e-12 * scale)
            << "taps " << taps.size() << " (span " << nonzero << "), input " << x.size();
    }
}

TEST(FIRTest, FFTModeWithForcedFFTLengthStillMatchesDirectMode)
{
    std::mt19937 gen(14);
    std::vector<double> taps = randomTaps(gen, 37, 3, 2);
    const std::vector<double> x = randomInput(gen, 500);
    FIR fir;
    const FirRun fft = runFir(taps, 1, x, 700, 0.0, 9, &fir);
    ASSERT_TRUE(fft.setupOk);
    EXPECT_EQ(fir.FFTSize, 512);
    EXPECT_EQ(fir.FFTBlockSize, 256);
    const FirRun direct = runFir(taps, 0, x, 700 - 256);
    for (std::size_t t = 0; t + 256 < 700; ++t)
        EXPECT_NEAR(fft.out[t + 256], direct.out[t], 1e-12 * maxAbs(direct.out)) << "t " << t;
}

TEST(FIRTest, FFTModeWithInitialValue)
{
    // Taps with two leading zeros: the block convolution sees the span
    // (0.5, -0.25, 2, 1) and the leading-zero delay adds 2 samples.
    std::vector<double> taps = {0.0, 0.0, 0.5, -0.25, 2.0, 1.0, 0.0};
    std::mt19937 gen(15);
    const std::vector<double> x = randomInput(gen, 40);
    const double iv = 1.5;
    FIR fir;
    const FirRun fft = runFir(taps, 1, x, 60, iv, 0, &fir);
    ASSERT_TRUE(fft.setupOk);
    ASSERT_EQ(fir.LeadingZeroTaps, 2);
    ASSERT_EQ(fir.FFTBlockSize, 4);
    const std::vector<double> span = {0.5, -0.25, 2.0, 1.0};

    // Leading-zero delay first (zeros), then one block of initial values
    // convolved with the span and nothing earlier added.
    EXPECT_EQ(fft.out[0], 0.0);
    EXPECT_EQ(fft.out[1], 0.0);
    double partial = 0.0;
    for (std::size_t t = 0; t < 4; ++t) {
        partial += span[t];
        EXPECT_NEAR(fft.out[t + 2], iv * partial, 1e-13) << "t " << t;
    }
    // Then the steady state: the direct form with the same initial value,
    // delayed by the block size.
    const std::vector<double> ref = naiveConvolution(taps, x, 60, iv);
    for (std::size_t t = 4 + 2; t < 60; ++t)
        EXPECT_NEAR(fft.out[t], ref[t - 4], 1e-13) << "t " << t;
}

TEST(FIRTest, SingleTap)
{
    std::vector<double> taps = {2.5};
    const std::vector<double> x = {1.0, -2.0, 3.0, 0.5};
    const FirRun direct = runFir(taps, 0, x, 6);
    EXPECT_EQ(direct.out, (std::vector<double>{2.5, -5.0, 7.5, 1.25, 0.0, 0.0}));

    FIR fir;
    const FirRun fft = runFir(taps, 1, x, 8, 0.0, 0, &fir);
    ASSERT_TRUE(fft.setupOk);
    EXPECT_EQ(fir.SpanCount, 2);
    EXPECT_EQ(fir.FFTSize, 4);
    EXPECT_EQ(fir.FFTBlockSize, 2);
    EXPECT_EQ(fir.LeadingZeroTaps, 0);
    const std::vector<double> expected = {0.0, 0.0, 2.5, -5.0, 7.5, 1.25, 0.0, 0.0};
    for (std::size_t t = 0; t < 8; ++t)
        EXPECT_NEAR(fft.out[t], expected[t], 1e-14) << "t " << t;
    EXPECT_EQ(fft.setupText,
              "FIR with EnableFFT = 1 will have an FFT size of 4 samples and a delay of 2 samples.\n");
}

TEST(FIRTest, LeadingZeroTapsComeBackAsDelay)
{
    std::vector<double> taps = {0.0, 0.0, 1.0};
    const std::vector<double> x = {1.0, 2.0, 3.0, 4.0, 5.0};
    const FirRun direct = runFir(taps, 0, x, 8);
    EXPECT_EQ(direct.out, (std::vector<double>{0.0, 0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 0.0}));

    FIR fir;
    const FirRun fft = runFir(taps, 1, x, 10, 0.0, 0, &fir);
    ASSERT_TRUE(fft.setupOk);
    EXPECT_EQ(fir.NumTaps, 3);
    EXPECT_EQ(fir.LeadingZeroTaps, 2);
    EXPECT_EQ(fir.SpanCount, 2);
    EXPECT_EQ(fir.FFTSize, 4);
    EXPECT_EQ(fir.FFTBlockSize, 2);
    const std::vector<double> expected = {0.0, 0.0, 0.0, 0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 0.0};
    for (std::size_t t = 0; t < 10; ++t)
        EXPECT_NEAR(fft.out[t], expected[t], 1e-14) << "t " << t;
}

TEST(FIRTest, TrailingZeroTapsAndTapZero)
{
    std::vector<double> taps = {0.5, 0.0, 0.0, 0.0};
    FIR fir;
    fir.Taps = &taps;
    std::stringstream msg;
    ASSERT_TRUE(fir.Setup(nullptr, msg));
    EXPECT_EQ(fir.NumTaps, 4);  // tap 0 is never looked at by the trim

    fir.EnableFFT = 1;
    ASSERT_TRUE(fir.Setup(nullptr, msg));
    EXPECT_EQ(fir.NumTaps, 4);
    EXPECT_EQ(fir.SpanCount, 2);  // span 1, rounded up to even
    EXPECT_EQ(fir.FFTSize, 4);

    std::vector<double> six = {1.0, 2.0, 3.0, 4.0, 0.0, 0.0};
    FIR fir6;
    fir6.Taps = &six;
    fir6.EnableFFT = 1;
    std::stringstream msg6;
    ASSERT_TRUE(fir6.Setup(nullptr, msg6));
    EXPECT_EQ(fir6.NumTaps, 4);
    EXPECT_EQ(fir6.SpanCount, 4);
    EXPECT_EQ(fir6.FFTSize, 8);
    EXPECT_EQ(fir6.FFTBlockSize, 4);
    EXPECT_EQ(msg6.str(),
              "FIR with EnableFFT = 1 will have an FFT size of 8 samples and a delay of 4 samples.\n");

    // Interior zeros stay in the span; an odd span is rounded up.
    std::vector<double> inner = {0.0, 1.0, 0.0, 0.0, 2.0, 0.0};
    FIR firInner;
    firInner.Taps = &inner;
    firInner.EnableFFT = 1;
    firInner.QuietSetup = 1;
    std::stringstream msgInner;
    ASSERT_TRUE(firInner.Setup(nullptr, msgInner));
    EXPECT_EQ(msgInner.str(), "");
    EXPECT_EQ(firInner.NumTaps, 5);
    EXPECT_EQ(firInner.LeadingZeroTaps, 1);
    EXPECT_EQ(firInner.SpanCount, 4);
    EXPECT_EQ(firInner.FFTSize, 8);
}

TEST(FIRTest, FFTPow2SizeCompatibility)
{
    std::vector<double> six = {1.0, 2.0, 3.0, 4.0, 0.0, 0.0};
    FIR fir;
    fir.Taps = &six;
    fir.EnableFFT = 1;
    fir.FFTPow2Size = 2;
    std::stringstream msg;
    EXPECT_FALSE(fir.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "To be compatible with the Taps[] size, FFTPow2Size must be an integer >= 3.\n");

    fir.FFTPow2Size = 5;
    std::stringstream msg2;
    EXPECT_TRUE(fir.Setup(nullptr, msg2));
    EXPECT_EQ(fir.FFTSize, 32);
    EXPECT_EQ(fir.FFTBlockSize, 16);
    EXPECT_EQ(msg2.str(),
              "FIR with EnableFFT = 1 will have an FFT size of 32 samples and a delay of 16 samples.\n");

    fir.FFTPow2Size = 3;  // exactly the needed size
    std::stringstream msg3;
    EXPECT_TRUE(fir.Setup(nullptr, msg3));
    EXPECT_EQ(fir.FFTSize, 8);
    EXPECT_EQ(fir.FFTBlockSize, 4);

    fir.FFTPow2Size = 40;  // beyond the longest transform
    std::stringstream msg4;
    EXPECT_FALSE(fir.Setup(nullptr, msg4));
    EXPECT_EQ(msg4.str(), "FFTPow2Size must be an integer <= 30.\n");
}

TEST(FIRTest, SetupFailures)
{
    std::vector<double> taps = {1.0, 2.0};
    for (int bad : {2, -1, 7}) {
        FIR fir;
        fir.Taps = &taps;
        fir.EnableFFT = bad;
        std::stringstream msg;
        EXPECT_FALSE(fir.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "EnableFFT must be an integer in the range [0,1].\n");
    }

    std::vector<double> empty;
    FIR fir;
    fir.Taps = &empty;
    fir.EnableFFT = 3;
    std::stringstream msg;
    EXPECT_FALSE(fir.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "Taps array size must be > 0.\nEnableFFT must be an integer in the range [0,1].\n");

    for (int mode : {0, 1}) {
        FIR noTaps;  // Taps never set
        noTaps.EnableFFT = mode;
        std::stringstream m;
        EXPECT_FALSE(noTaps.Setup(nullptr, m));
        EXPECT_EQ(m.str(), "Taps array size must be > 0.\n");
        noTaps.Initialize();
        noTaps.Input = 1.0;
        noTaps.Run(m);
        EXPECT_EQ(noTaps.Output, 0.0);
    }
}

TEST(FIRTest, AllZeroTapsAreRejectedInFFTModeOnly)
{
    for (std::vector<double> zeros : {std::vector<double>{0.0}, std::vector<double>{0.0, 0.0, 0.0}}) {
        FIR fir;
        fir.Taps = &zeros;
        fir.EnableFFT = 1;
        std::stringstream msg;
        EXPECT_FALSE(fir.Setup(nullptr, msg));
        EXPECT_EQ(msg.str(), "Taps must have at least one nonzero value when EnableFFT = 1.\n");
        // A caller that goes on regardless gets zeros, not a crash.
        fir.Initialize();
        for (int t = 0; t < 10; ++t) {
            fir.Input = 1.0;
            fir.Run(msg);
            EXPECT_EQ(fir.Output, 0.0);
        }

        const FirRun direct = runFir(zeros, 0, {1.0, 2.0}, 5);
        EXPECT_TRUE(direct.setupOk);
        EXPECT_EQ(direct.out, std::vector<double>(5, 0.0));
    }
}

TEST(FIRTest, ProgressLinesEveryTenthBlock)
{
    std::vector<double> taps = {1.0, 0.5};
    std::vector<double> x(25, 1.0);
    FIR fir;
    fir.ReportFFTProgress = 1;
    const FirRun r = runFir(taps, 1, x, 60, 0.0, 0, &fir);
    ASSERT_TRUE(r.setupOk);
    // Blocks run at samples 2, 4, ..., 58: 29 of them.
    EXPECT_EQ(fir.FFT_process_count, 29);
    EXPECT_EQ(r.runText, "FIR with EnableFFT = 1: FFT_process_count = 10, sample count = 20.\n"
                         "FIR with EnableFFT = 1: FFT_process_count = 20, sample count = 40.\n");

    FIR quiet;
    const FirRun q = runFir(taps, 1, x, 60, 0.0, 0, &quiet);
    EXPECT_EQ(q.runText, "");
}

TEST(FIRTest, InitializeRestartsAndFinalizeReleases)
{
    std::mt19937 gen(16);
    std::vector<double> taps = randomTaps(gen, 9, 1, 1);
    const std::vector<double> x = randomInput(gen, 30);
    for (int mode : {0, 1}) {
        FIR fir;
        const FirRun first = runFir(taps, mode, x, 50, 0.0, 0, &fir);
        ASSERT_TRUE(first.setupOk);
        fir.Initialize();
        std::stringstream msg;
        for (std::size_t t = 0; t < 50; ++t) {
            fir.Input = t < x.size() ? x[t] : 0.0;
            fir.Run(msg);
            EXPECT_EQ(fir.Output, first.out[t]) << "mode " << mode << " t " << t;
        }
        fir.Finalize();
        fir.DeleteBuffers();  // may be repeated
        fir.Input = 1.0;
        fir.Run(msg);
        if (mode == 1)
            EXPECT_EQ(fir.Output, 0.0);  // released: no filtering until set up again
        else
            EXPECT_EQ(fir.Output, taps[0]);  // direct form keeps running after Finalize
    }
}

TEST(FIRTest, UseFileLines)
{
    const std::string path = ::testing::TempDir() + "fir_use_file.txt";
    {
        std::ofstream log(path);
        std::vector<double> taps = {1.0, 0.5};
        FIR fir;
        fir.Taps = &taps;
        fir.EnableFFT = 1;
        std::stringstream msg;
        ASSERT_TRUE(fir.Setup(&log, msg));
        ASSERT_TRUE(fir.Setup(&log, msg));
        fir.Initialize();
        for (int t = 0; t < 6; ++t) {  // blocks at samples 2 and 4
            fir.Input = t == 0 ? 1.0 : 0.0;
            fir.Run(msg);
        }
    }
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), "Veltramodels20200612::FIR\n"
                          "Veltramodels20200612::FFT::ComplexFFT\n"
                          "Veltramodels20200612::FFT::ComplexFFT\n"
                          "Veltramodels20200612::FFT::ComplexFFT\n");
}

TEST(FIRTest, FFTModeAcrossSilentBlocksAndNewTaps)
{
    // Input with a gap of several all-zero blocks in the middle, then data
    // again; and a second Setup with other taps of the same length on the
    // same object.
    std::mt19937 gen(17);
    std::vector<double> taps = randomTaps(gen, 30, 2, 1);
    std::vector<double> x = randomInput(gen, 50);
    x.insert(x.end(), 400, 0.0);
    const std::vector<double> tail = randomInput(gen, 70);
    x.insert(x.end(), tail.begin(), tail.end());

    FIR fir;
    for (int round = 0; round < 2; ++round) {
        if (round == 1)
            taps = randomTaps(gen, 30, 2, 1);
        const FirRun fft = runFir(taps, 1, x, x.size() + 100, 0.0, 0, &fir);
        ASSERT_TRUE(fft.setupOk);
        const std::size_t block = static_cast<std::size_t>(fir.FFTBlockSize);
        const FirRun direct = runFir(taps, 0, x, x.size() + 100 - block);
        for (std::size_t t = 0; t + block < fft.out.size(); ++t)
            ASSERT_NEAR(fft.out[t + block], direct.out[t], 1e-12 * maxAbs(direct.out))
                << "round " << round << " t " << t;
    }
}
