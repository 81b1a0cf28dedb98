// End-to-end tests of the model library through its exported entry points,
// loaded with dlopen as a simulator loads it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "tests/model/AmiTestHost.h"

using namespace amitest;

namespace {

const std::string kCornerTypical = "CornerCase = 0 (Typical)\n";
const std::string kTxLine = "Tx emphasis model based on step response data.\n";
const std::string kOptLine =
    "Optimization of PreEmphasis over count = 16 states results in max open eye ratio with PreEmphasis state = ";

std::string missing(const char* leaf, int value)
{
    return std::string("The IBIS-AMI model, VELMOR7700X, is unable to initialize the parameter ") + leaf +
           " from the AMI_Init arguments.The model will use the default setting = " + std::to_string(value) +
           ".\n";
}

double maxAbs(const std::vector<double>& v)
{
    double m = 0;
    for (double x : v)
        m = std::max(m, std::fabs(x));
    return m;
}

// The expected output column: the channel convolved with the state's taps
// (the model works in gain per sample, and the host's V/s scale cancels),
// cut or zero-filled to the row count.
std::vector<double> expectedColumn(const std::vector<double>& col, int corner, int preEmphasis, int spb,
                                   double gain = 1.0, double bitTime = kBitTime)
{
    std::vector<double> y = convolve(col, stateTaps(corner, preEmphasis, 1.0 / bitTime, spb));
    y.resize(col.size(), 0.0);
    for (double& v : y)
        v *= gain;
    return y;
}

void expectColumnNear(const std::vector<double>& actual, size_t offset, const std::vector<double>& expected,
                      double relTol = 1e-11)
{
    const double scale = maxAbs(expected);
    ASSERT_GT(scale, 0.0);
    for (size_t i = 0; i < expected.size(); ++i)
        ASSERT_NEAR(actual[offset + i], expected[i], relTol * scale) << "row " << i;
}

class AmiEntryPoints : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(library().error, "") << VM_SHARED_LIBRARY; }
};

}  // namespace

TEST_F(AmiEntryPoints, AutoInitMessageSequenceAndChosenState)
{
    const long rows = 2048;
    const std::vector<double> ch = lossyChannel(rows, 1.2);
    const Result r = call(params(1, 0, 0), ch, rows, 0, kSampleInterval, kBitTime);
    ASSERT_EQ(r.ret, 1) << r.msg;
    EXPECT_EQ(r.closeRet, 1);
    ASSERT_EQ(r.msg.compare(0, kCornerTypical.size() + kTxLine.size() + kOptLine.size(),
                            kCornerTypical + kTxLine + kOptLine),
              0)
        << r.msg;
    const int chosen = std::stoi(r.msg.substr(kCornerTypical.size() + kTxLine.size() + kOptLine.size()));
    EXPECT_EQ(r.msg, kCornerTypical + kTxLine + kOptLine + std::to_string(chosen) + "\n");

    // The winner is the state with the largest open-eye ratio, first on ties,
    // computed here directly from the framework's list taps and eye kernel.
    double best = -1e300;
    int bestState = -1;
    for (int k = 1; k <= 16; ++k) {
        const int p = 16 - k;
        const double ratio = openEyeRatio(ch, 0, p, 1.0 / kBitTime, 32);
        if (ratio > best) {
            best = ratio;
            bestState = p;
        }
    }
    EXPECT_EQ(chosen, bestState);
    EXPECT_GT(bestState, 0) << "the test channel should need some emphasis";
    // And the output is the channel through that state.
    expectColumnNear(r.matrix, 0, expectedColumn(ch, 0, chosen, 32));
}

TEST_F(AmiEntryPoints, AutoInitFollowsTheChannelLoss)
{
    // Across channels from nearly lossless to very lossy the choice always
    // matches the independent evaluation, and more loss never asks for less
    // emphasis in these smooth channels.
    int previous = -1;
    for (double tau : {0.15, 0.5, 1.0, 1.6}) {
        for (int corner : {0, 1, 2, 3, 4}) {
            const long rows = 3000;
            const std::vector<double> ch = lossyChannel(rows, tau);
            const Result r = call(params(1, 3, corner), ch, rows, 0, kSampleInterval, kBitTime);
            ASSERT_EQ(r.ret, 1) << r.msg;
            const size_t pos = r.msg.find(kOptLine);
            ASSERT_NE(pos, std::string::npos) << r.msg;
            const int chosen = std::stoi(r.msg.substr(pos + kOptLine.size()));
            double best = -1e300;
            int bestState = -1;
            for (int k = 1; k <= 16; ++k) {
                const double ratio = openEyeRatio(ch, corner, 16 - k, 1.0 / kBitTime, 32);
                if (ratio > best) {
                    best = ratio;
                    bestState = 16 - k;
                }
            }
            EXPECT_EQ(chosen, bestState) << "tau " << tau << " corner " << corner;
            if (corner == 0) {
                EXPECT_GE(chosen, previous) << "tau " << tau;
                previous = chosen;
            }
        }
    }
}

TEST_F(AmiEntryPoints, FixedStateMessageSequenceAndOutput)
{
    const long rows = 1500;
    const std::vector<double> ch = lossyChannel(rows, 0.8);
    const Result r = call(params(0, 5, 0), ch, rows, 0, kSampleInterval, kBitTime);
    ASSERT_EQ(r.ret, 1);
    EXPECT_EQ(r.msg, kCornerTypical + kTxLine + "The selected PreEmphasis state = 5\n");
    EXPECT_EQ(r.closeRet, 1);
    expectColumnNear(r.matrix, 0, expectedColumn(ch, 0, 5, 32));
}

TEST_F(AmiEntryPoints, EveryCornerNamesItselfAndUsesItsTable)
{
    const char* names[5] = {"Typical", "Slow", "Fast", "Leakage", "TempInv"};
    const long rows = 1200;
    const std::vector<double> ch = lossyChannel(rows, 0.6);
    std::vector<std::vector<double>> outputs;
    for (int c = 0; c < 5; ++c) {
        const Result r = call(params(0, 9, c), ch, rows, 0, kSampleInterval, kBitTime);
        ASSERT_EQ(r.ret, 1) << r.msg;
        EXPECT_EQ(r.msg, "CornerCase = " + std::to_string(c) + " (" + names[c] + ")\n" + kTxLine +
                             "The selected PreEmphasis state = 9\n");
        expectColumnNear(r.matrix, 0, expectedColumn(ch, c, 9, 32));
        outputs.push_back(r.matrix);
    }
    for (int c = 1; c < 5; ++c)
        EXPECT_NE(outputs[c], outputs[0]);
}

TEST_F(AmiEntryPoints, CornerCaseOutsideTheTablesFailsInInitialize)
{
    const long rows = 512;
    const std::vector<double> ch = lossyChannel(rows, 0.5);
    const Result r = call(params(0, 5, 7), ch, rows, 0, kSampleInterval, kBitTime);
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.msg, "CornerCase = 7 ()\n"
                     "Error occurred in VELMOR7700X::Initialize().\n"
                     "\nGenerating front end (FE) model based on step response data.\n"
                     "EQ1_StepResp_data_values vector size must be > 0.\n"
                     "\nERROR:  Front end (FE) model generation failed.\n");
    EXPECT_EQ(r.matrix, ch);  // the column was never written
}

TEST_F(AmiEntryPoints, MissingParametersStopTheRun)
{
    const long rows = 256;
    const std::vector<double> ch = lossyChannel(rows, 0.5);
    struct {
        std::string text, expected;
    } cases[] = {
        {"(VELMOR7700X (PreEmphasis 5)(CornerCase 0)(OutputGain 1.0))", missing("AutoInit", 0)},
        {"(VELMOR7700X (AutoInit 0)(CornerCase 0)(OutputGain 1.0))", missing("PreEmphasis", 0)},
        {"(VELMOR7700X (AutoInit 0)(PreEmphasis 5)(OutputGain 1.0))", missing("CornerCase", 0)},
        {"(OTHER (AutoInit 0)(PreEmphasis 5)(CornerCase 0))", missing("AutoInit", 0)},
        {"", missing("AutoInit", 0)},
    };
    for (const auto& c : cases) {
        const Result r = call(c.text, ch, rows, 0, kSampleInterval, kBitTime);
        EXPECT_EQ(r.ret, 0) << c.text;
        EXPECT_EQ(r.msg, c.expected) << c.text;
        EXPECT_EQ(r.matrix, ch) << c.text;
        EXPECT_EQ(r.closeRet, 1) << c.text;
    }
}

TEST_F(AmiEntryPoints, OutputGainDefaultsToOneSilentlyAndScales)
{
    const long rows = 1000;
    const std::vector<double> ch = lossyChannel(rows, 0.7);
    const Result withGain = call(params(0, 4, 0, "1.0"), ch, rows, 0, kSampleInterval, kBitTime);
    const Result without = call(params(0, 4, 0, nullptr), ch, rows, 0, kSampleInterval, kBitTime);
    const Result doubled = call(params(0, 4, 0, "2.5"), ch, rows, 0, kSampleInterval, kBitTime);
    ASSERT_EQ(without.ret, 1);
    EXPECT_EQ(without.msg, withGain.msg);
    EXPECT_EQ(without.matrix, withGain.matrix);
    ASSERT_EQ(doubled.ret, 1);
    expectColumnNear(doubled.matrix, 0, expectedColumn(ch, 0, 4, 32, 2.5));
}

// An output gain that overflows a column's output fails the call with a
// line that says so. Columns written before it keep their output; that
// column and the ones after it keep their input, bit for bit, even where
// only its peak overflows.
TEST_F(AmiEntryPoints, OverflowingOutputLeavesTheColumnAsItWas)
{
    const long rows = 1000;
    const std::vector<double> ch = lossyChannel(rows, 0.7);
    const std::vector<double> expected = expectedColumn(ch, 0, 4, 32);
    // The through column's output peaks near 1e300; the aggressor, 1e10
    // times the channel, overflows at its peak only.
    char gain[64];
    std::snprintf(gain, sizeof gain, "%.17g", 1e300 / maxAbs(expected));
    std::vector<double> matrix = ch;
    for (double x : ch)
        matrix.push_back(1e10 * x);
    matrix.insert(matrix.end(), ch.begin(), ch.end());
    size_t finiteAfter = 0;
    for (double v : expected)
        finiteAfter += std::isfinite(1e10 * v * (1e300 / maxAbs(expected))) ? 1 : 0;
    ASSERT_GT(finiteAfter, expected.size() / 2) << "the aggressor must overflow at a few samples only";

    const Result r = call(params(0, 4, 0, gain), matrix, rows, 2, kSampleInterval, kBitTime);
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.msg, kCornerTypical + kTxLine + "The selected PreEmphasis state = 4\n" +
                         "Error occurred in VELMOR7700X::Run().\n"
                         "The output impulse is not finite: OutputGain is too large for this channel.\n");
    ASSERT_EQ(r.matrix.size(), matrix.size());
    std::vector<double> scaled = expected;
    for (double& v : scaled)
        v *= 1e300 / maxAbs(expected);
    expectColumnNear(r.matrix, 0, scaled);
    EXPECT_TRUE(std::equal(matrix.begin() + rows, matrix.end(), r.matrix.begin() + rows));

    // The same overflow in the through column: nothing is written at all.
    std::vector<double> swapped(matrix.begin() + rows, matrix.begin() + 2 * rows);
    swapped.insert(swapped.end(), ch.begin(), ch.end());
    const Result first = call(params(0, 4, 0, gain), swapped, rows, 1, kSampleInterval, kBitTime);
    EXPECT_EQ(first.ret, 0);
    EXPECT_EQ(first.matrix, swapped);
}

TEST_F(AmiEntryPoints, AggressorCounts)
{
    const long rows = 800;
    std::vector<double> m;
    const double taus[4] = {0.9, 0.3, 0.5, 0.7};
    for (double t : taus) {
        std::vector<double> c = lossyChannel(rows, t, 1.0 + t, 3, t < 0.8 ? 0.05 : 0.8);
        m.insert(m.end(), c.begin(), c.end());
    }
    const std::vector<double> col0(m.begin(), m.begin() + rows);

    // -1: nothing processed, success, no message.
    Result r = call(params(1, 0, 0), m, rows, -1, kSampleInterval, kBitTime);
    EXPECT_EQ(r.ret, 1);
    EXPECT_EQ(r.msg, "");
    EXPECT_EQ(r.matrix, m);
    // -1 with a parameter missing: only the parser's text, and the failed read.
    r = call("(VELMOR7700X (PreEmphasis 2)(CornerCase 0))", m, rows, -1, kSampleInterval, kBitTime);
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.matrix, m);
    EXPECT_EQ(r.msg, missing("AutoInit", 0));

    // 0: the through channel only; the columns behind it are untouched.
    const Result one = call(params(1, 0, 0), m, rows, 0, kSampleInterval, kBitTime);
    ASSERT_EQ(one.ret, 1);
    const size_t pos = one.msg.find(kOptLine);
    ASSERT_NE(pos, std::string::npos);
    const int chosen = std::stoi(one.msg.substr(pos + kOptLine.size()));
    expectColumnNear(one.matrix, 0, expectedColumn(col0, 0, chosen, 32));
    EXPECT_TRUE(std::equal(m.begin() + rows, m.end(), one.matrix.begin() + rows));

    // 3: every aggressor goes through the state chosen on the through channel,
    // and the message is the same as for the through channel alone.
    const Result all = call(params(1, 0, 0), m, rows, 3, kSampleInterval, kBitTime);
    ASSERT_EQ(all.ret, 1);
    EXPECT_EQ(all.msg, one.msg);
    for (int c = 0; c < 4; ++c) {
        const std::vector<double> col(m.begin() + c * rows, m.begin() + (c + 1) * rows);
        expectColumnNear(all.matrix, c * rows, expectedColumn(col, 0, chosen, 32));
    }
}

TEST_F(AmiEntryPoints, RowSizeZero)
{
    // Nothing is copied in or out; the model still gets the empty channel,
    // and its cascade refuses it: the call fails with the cascade's line,
    // with the search on or off and however many aggressors are named, and
    // claims no state.
    const std::string refused = kCornerTypical +
                                "Error occurred in VELMOR7700X::Initialize().\n"
                                "\nGenerating front end (FE) model based on step response data.\n"
                                "ChannelImpulse vector size must be > 0.\n"
                                "\nERROR:  Front end (FE) model generation failed.\n";
    std::vector<double> sentinel(4, 7.0);
    Result r = call(params(0, 3, 0), sentinel, 0, 0, kSampleInterval, kBitTime);
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.msg, refused);
    EXPECT_EQ(r.matrix, sentinel);
    EXPECT_EQ(r.closeRet, 1);
    r = call(params(1, 3, 0), sentinel, 0, 2, kSampleInterval, kBitTime);
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.msg, refused);
    EXPECT_EQ(r.matrix, sentinel);
}

TEST_F(AmiEntryPoints, ShortOutputIsZeroFilledAndLongOutputIsCut)
{
    // Short: the channel ends long before the matrix does, so the output
    // impulse (channel + taps, trailing zeros dropped) ends early too.
    const long rows = 4096;
    std::vector<double> shortCh = lossyChannel(300, 0.2, 0.5);
    shortCh.resize(rows, 0.0);
    std::vector<double> input = shortCh;
    for (long i = 300; i < rows; ++i)
        input[i] = 0.0;
    Result r = call(params(0, 12, 0), input, rows, 0, kSampleInterval, kBitTime);
    ASSERT_EQ(r.ret, 1);
    const std::vector<double> taps = stateTaps(0, 12, 1.0 / kBitTime, 32);
    const size_t end = 300 + taps.size();
    ASSERT_LT(end, static_cast<size_t>(rows));
    for (long i = end; i < rows; ++i)
        ASSERT_EQ(r.matrix[i], 0.0) << i;
    expectColumnNear(r.matrix, 0, expectedColumn(shortCh, 0, 12, 32));

    // Long: the channel fills the matrix, and the output is cut at row_size.
    const long rows2 = 400;
    const std::vector<double> longCh = lossyChannel(rows2, 3.0, 0.2, 2);
    ASSERT_NE(longCh.back(), 0.0);
    r = call(params(0, 12, 0), longCh, rows2, 0, kSampleInterval, kBitTime);
    ASSERT_EQ(r.ret, 1);
    ASSERT_EQ(r.matrix.size(), static_cast<size_t>(rows2));
    expectColumnNear(r.matrix, 0, expectedColumn(longCh, 0, 12, 32));
    EXPECT_NE(r.matrix.back(), 0.0);
}

TEST_F(AmiEntryPoints, SamplesPerSymbolRounding)
{
    // bit_time / sample_interval = 31.6 runs at 32 samples per bit and 31.4
    // at 31; the taps are resampled for that count, with the bit rate 1/bit_time.
    const long rows = 1200;
    const std::vector<double> ch = lossyChannel(rows, 0.6, 2.0, 3, 0.8, 31.5);
    for (const auto& c : {std::make_pair(31.6, 32), std::make_pair(31.4, 31)}) {
        const double si = kBitTime / c.first;
        const Result r = call(params(0, 7, 0), ch, rows, 0, si, kBitTime);
        ASSERT_EQ(r.ret, 1) << r.msg;
        expectColumnNear(r.matrix, 0, expectedColumn(ch, 0, 7, c.second));
        const int other = c.second == 32 ? 31 : 32;
        const std::vector<double> wrong = expectedColumn(ch, 0, 7, other);
        double diff = 0;
        for (long i = 0; i < rows; ++i)
            diff = std::max(diff, std::fabs(wrong[i] - r.matrix[i]));
        EXPECT_GT(diff, 1e-6 * maxAbs(wrong)) << c.first;
    }
}

TEST_F(AmiEntryPoints, ParameterValuesRejectedByTheModelChecks)
{
    const long rows = 600;
    const std::vector<double> ch = lossyChannel(rows, 0.5);
    const std::string setupError = "Error occurred in VELMOR7700X::Setup().\n";
    struct {
        std::string params;
        double si;
        std::string expected;
    } cases[] = {
        {params(0, 16, 0), kSampleInterval,
         setupError + "Data1Index must be an integer in the range [1, 16].\n"},
        {params(0, -1, 0), kSampleInterval,
         setupError + "Data1Index must be an integer in the range [1, 16].\n"},
        {params(2, 5, 0), kSampleInterval, setupError + "AdaptForChannel must be either 0 or 1.\n"},
        {params(0, 5, 0, "0"), kSampleInterval, setupError + "OutputGain must not be zero.\n"},
        {params(0, 5, 0), kBitTime / 3.4, setupError + "SamplesPerSymbol must be >= 4.\n"},
    };
    for (const auto& c : cases) {
        const Result r = call(c.params, ch, rows, 0, c.si, kBitTime);
        EXPECT_EQ(r.ret, 0) << c.params;
        EXPECT_EQ(r.msg, c.expected) << c.params;
        EXPECT_EQ(r.closeRet, 1);
    }
    // With AutoInit 1 the index is not checked: the search sets it.
    const Result r = call(params(1, 16, 0), ch, rows, 0, kSampleInterval, kBitTime);
    EXPECT_EQ(r.ret, 1) << r.msg;
}

TEST_F(AmiEntryPoints, NegativeAutoInitClaimsNoSearch)
{
    const long rows = 900;
    const std::vector<double> ch = lossyChannel(rows, 0.8);
    const Result r = call(params(-1, 6, 0), ch, rows, 0, kSampleInterval, kBitTime);
    ASSERT_EQ(r.ret, 1) << r.msg;
    EXPECT_EQ(r.msg, kCornerTypical + kTxLine + "The selected PreEmphasis state = 6\n");
    expectColumnNear(r.matrix, 0, expectedColumn(ch, 0, 6, 32));
}

TEST_F(AmiEntryPoints, AllZeroColumns)
{
    const long rows = 700;
    const std::vector<double> ch = lossyChannel(rows, 0.9);
    const std::vector<double> zero(rows, 0.0);
    const std::vector<double> xt = lossyChannel(rows, 0.4, 1.5, 3, 0.05);

    // An all-zero aggressor comes back as zeros; the later one is processed.
    std::vector<double> m = ch;
    m.insert(m.end(), zero.begin(), zero.end());
    m.insert(m.end(), xt.begin(), xt.end());
    Result r = call(params(0, 8, 0), m, rows, 2, kSampleInterval, kBitTime);
    ASSERT_EQ(r.ret, 1) << r.msg;
    EXPECT_EQ(r.msg, kCornerTypical + kTxLine + "The selected PreEmphasis state = 8\n");
    expectColumnNear(r.matrix, 0, expectedColumn(ch, 0, 8, 32));
    for (long i = 0; i < rows; ++i)
        ASSERT_EQ(r.matrix[rows + i], 0.0);
    expectColumnNear(r.matrix, 2 * rows, expectedColumn(xt, 0, 8, 32));

    // An all-zero through channel with AutoInit 1: every state leaves the eye
    // closed, the first one (PreEmphasis 15) is kept and used for the rest.
    m = zero;
    m.insert(m.end(), xt.begin(), xt.end());
    r = call(params(1, 0, 0), m, rows, 1, kSampleInterval, kBitTime);
    ASSERT_EQ(r.ret, 1) << r.msg;
    EXPECT_EQ(r.msg,
              kCornerTypical + kTxLine +
                  "The through channel impulse is all zeros, so the eye is closed in every PreEmphasis "
                  "state; the first state is kept: PreEmphasis state = 15\n");
    for (long i = 0; i < rows; ++i)
        ASSERT_EQ(r.matrix[i], 0.0);
    expectColumnNear(r.matrix, rows, expectedColumn(xt, 0, 15, 32));

    // Without the corner's table the model cannot run whatever the samples
    // hold: a silent through channel fails exactly as a live one does, claims
    // no state, and leaves every column as the host sent it.
    for (int corner : {7, -1})
        for (int autoInit = 0; autoInit <= 1; ++autoInit)
            for (long aggressors : {0L, 2L}) {
                std::vector<double> in = zero;
                for (long a = 0; a < aggressors; ++a)
                    in.insert(in.end(), xt.begin(), xt.end());
                const Result silent =
                    call(params(autoInit, 3, corner), in, rows, aggressors, kSampleInterval, kBitTime);
                std::vector<double> live = in;
                std::copy(ch.begin(), ch.end(), live.begin());
                const Result withChannel =
                    call(params(autoInit, 3, corner), live, rows, aggressors, kSampleInterval, kBitTime);
                const std::string where = "CornerCase " + std::to_string(corner) + ", AutoInit " +
                                          std::to_string(autoInit) + ", aggressors " +
                                          std::to_string(aggressors);
                EXPECT_EQ(silent.ret, 0) << where;
                EXPECT_EQ(silent.msg, "CornerCase = " + std::to_string(corner) +
                                          " ()\nError occurred in VELMOR7700X::Initialize().\n"
                                          "\nGenerating front end (FE) model based on step response "
                                          "data.\nEQ1_StepResp_data_values vector size must be > 0.\n"
                                          "\nERROR:  Front end (FE) model generation failed.\n")
                    << where;
                EXPECT_EQ(silent.msg, withChannel.msg) << where;
                EXPECT_EQ(withChannel.ret, 0) << where;
                EXPECT_EQ(silent.matrix, in) << where;
            }

    // The checks still run on an all-zero column.
    r = call(params(0, 20, 0), zero, rows, 0, kSampleInterval, kBitTime);
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(
        r.msg,
        "Error occurred in VELMOR7700X::Setup().\nData1Index must be an integer in the range [1, 16].\n");
}

TEST_F(AmiEntryPoints, BadHostArgumentsAreRefused)
{
    Library& lib = library();
    const long rows = 300;
    std::vector<double> ch = lossyChannel(rows, 0.5);
    std::string p = params(0, 5, 0);
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const std::string pre = "Invalid AMI_Init argument: ";

    // Null matrix with rows.
    Result r = call(p, {}, rows, 0, kSampleInterval, kBitTime);
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.msg, pre + "impulse_matrix must not be null when row_size > 0.\n");
    EXPECT_EQ(r.closeRet, 1);
    // Negative row count.
    r = call(p, ch, -5, 0, kSampleInterval, kBitTime);
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.msg, pre + "row_size must not be negative.\n");
    EXPECT_EQ(r.matrix, ch);
    // Times: zero, negative, NaN, infinite.
    for (double bad : {0.0, -1e-12, nan, inf, -inf}) {
        r = call(p, ch, rows, 0, bad, kBitTime);
        EXPECT_EQ(r.ret, 0);
        EXPECT_EQ(r.msg, pre + "sample_interval must be a positive finite number.\n");
        EXPECT_EQ(r.matrix, ch);
        r = call(p, ch, rows, 0, kSampleInterval, bad);
        EXPECT_EQ(r.ret, 0);
        EXPECT_EQ(r.msg, pre + "bit_time must be a positive finite number.\n");
        EXPECT_EQ(r.matrix, ch);
    }
    // A ratio no int can hold.
    r = call(p, ch, rows, 0, 1e-300, 1.0);
    EXPECT_EQ(r.ret, 0);
    EXPECT_EQ(r.msg, pre + "bit_time / sample_interval is too large.\n");
    // Non-finite samples anywhere in the processed columns.
    for (double bad : {nan, inf}) {
        std::vector<double> m = ch;
        m.insert(m.end(), ch.begin(), ch.end());
        m[rows + 17] = bad;
        r = call(p, m, rows, 1, kSampleInterval, kBitTime);
        EXPECT_EQ(r.ret, 0);
        EXPECT_EQ(r.msg, pre + "impulse_matrix column 1 holds a NaN or infinite sample at row 17.\n");
        EXPECT_EQ(r.matrix[0], m[0]);
        // Behind the processed columns it is none of the model's business.
        r = call(p, m, rows, 0, kSampleInterval, kBitTime);
        EXPECT_EQ(r.ret, 1);
    }

    // A null parameter string reads as an empty one.
    {
        void* handle = nullptr;
        char* msg = nullptr;
        std::vector<double> m = ch;
        const long ret =
            lib.init(m.data(), rows, 0, kSampleInterval, kBitTime, nullptr, nullptr, &handle, &msg);
        EXPECT_EQ(ret, 0);
        ASSERT_NE(msg, nullptr);
        EXPECT_EQ(std::string(msg), missing("AutoInit", 0));
        EXPECT_NE(handle, nullptr);
        EXPECT_EQ(lib.close(handle), 1);
    }
    // Null msg or handle pointer: 0, and the other one is not touched.
    {
        std::vector<char> text(p.begin(), p.end());
        text.push_back('\0');
        char sentinelText[] = "untouched";
        char* msg = sentinelText;
        void* handle = &msg;
        std::vector<double> m = ch;
        EXPECT_EQ(lib.init(m.data(), rows, 0, kSampleInterval, kBitTime, text.data(), nullptr, nullptr, &msg),
                  0);
        EXPECT_EQ(msg, sentinelText);
        EXPECT_EQ(
            lib.init(m.data(), rows, 0, kSampleInterval, kBitTime, text.data(), nullptr, &handle, nullptr),
            0);
        EXPECT_EQ(handle, static_cast<void*>(&msg));
        EXPECT_EQ(m, ch);
    }
    // A row count no memory can hold (no column processed, so the matrix is
    // not read): a message, 0, and a handle that AMI_Close frees.
    {
        Result big = call(p, ch, std::numeric_limits<long>::max() / 4, -1, kSampleInterval, kBitTime);
        EXPECT_EQ(big.ret, 0);
        EXPECT_EQ(big.msg, "Error occurred in VELMOR7700X::AMI_Init(): out of memory.\n");
        EXPECT_EQ(big.closeRet, 1);
        EXPECT_EQ(big.matrix, ch);
    }
    // AMI_Close with a null handle.
    EXPECT_EQ(lib.close(nullptr), 0);
}

TEST_F(AmiEntryPoints, MessageStaysValidUntilCloseAndParametersOutIsNotWritten)
{
    Library& lib = library();
    const long rows = 500;
    std::vector<double> m = lossyChannel(rows, 0.5);
    std::string p = params(0, 2, 1);
    std::vector<char> text(p.begin(), p.end());
    text.push_back('\0');
    void* handles[3] = {nullptr, nullptr, nullptr};
    char* msgs[3] = {nullptr, nullptr, nullptr};
    char outSentinel[] = "out";
    for (int i = 0; i < 3; ++i) {
        char* out = outSentinel;
        std::vector<double> copy = m;
        EXPECT_EQ(lib.init(copy.data(), rows, 0, kSampleInterval, kBitTime, text.data(), &out, &handles[i],
                           &msgs[i]),
                  1);
        EXPECT_EQ(out, outSentinel);
    }
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(std::string(msgs[i]),
                  "CornerCase = 1 (Slow)\n" + kTxLine + "The selected PreEmphasis state = 2\n");
        EXPECT_NE(handles[i], nullptr);
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(lib.close(handles[i]), 1);
}
