// The cascade on a channel long enough for block transforms: the one-list
// search (all states measured from one pass over the channel), the final
// evaluation and ResponseFromRest against the brute-force references of the
// direct form: the same choice, the same message, responses within 1e-12 of
// their peak and the same exact zeros.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "eq/FIRwMultipleStepRespLists.h"
#include "eq/InterpolateStepRespData.h"
#include "tests/support/CascadeReference.h"

using namespace Veltramodels20200612;

namespace {

constexpr double kBitRate = 4e9;
constexpr int kSpb = 8;
constexpr int kStates = 6;

// Driver-like steps whose overshoot grows with the state.
struct Table {
    std::vector<std::vector<double>> cols;
    std::vector<double>* slot = nullptr;
    Table()
    {
        const int rows = 60;
        cols.assign(kStates + 1, std::vector<double>(rows));
        for (int j = 0; j < rows; ++j) {
            const double time = j * 25e-12;
            cols[0][j] = time;
            for (int k = 0; k < kStates; ++k)
                cols[k + 1][j] =
                    (1.0 - std::exp(-time / 30e-12)) * (1.0 + 0.17 * k * std::exp(-time / 200e-12));
        }
        slot = cols.data();
    }
    std::vector<double> taps(int state)
    {
        InterpolateStepRespData in;
        in.BitRate = kBitRate;
        in.SamplesPerBit = kSpb;
        in.StepRespIndex = state;
        in.NumStepResp = kStates;
        in.InterpolationType = 2;
        in.StepResp_data_values = &slot;
        in.ColumnArrangement = 1;
        std::stringstream m;
        EXPECT_TRUE(in.Setup(nullptr, m) && in.Initialize(m)) << m.str();
        return in.OutputData;
    }
};

// A long lossy channel: about 40 bits of response after a delay, then a
// long quiet tail, in sign given.
std::vector<double> longChannel(std::size_t n, double tauBits, double sign)
{
    std::vector<double> h(n, 0.0);
    const double tau = tauBits * kSpb;
    for (std::size_t i = 40; i < n; ++i) {
        const double t = static_cast<double>(i - 40);
        h[i] = sign * (t / tau) * std::exp(-t / tau) * (1.0 + 0.1 * std::sin(t / 7.0));
    }
    return h;
}

void configure(FIRwMultipleStepRespLists& c, Table& table, std::vector<double>* channel, int adapt)
{
    c.ChannelImpulse = channel;
    c.BitRate = kBitRate;
    c.SamplesPerBit = kSpb;
    c.EQ1_NumStepResp = kStates;
    c.EQ1_StepResp_data_values = &table.slot;
    c.EQ1_ColumnArrangement = 1;
    c.AdaptStepRespIndex = adapt;
    c.EQ1_StepRespIndex = 3;
}

double peakOf(const std::vector<double>& v)
{
    double p = 0.0;
    for (double x : v)
        p = std::max(p, std::fabs(x));
    return p;
}

TEST(CascadeBlockPath, LongChannelSearchAndEvaluationMatchTheDirectForm)
{
    Table table;
    for (double sign : {1.0, -1.0}) {
        std::vector<double> ch = longChannel(200000, 0.45, sign);
        const std::vector<double> scaled = cascaderef::scaledChannel(ch, kSpb, kBitRate);
        int chosen = 0;
        double best = -1e40, second = -1e40;
        std::vector<cascaderef::Trial> trials;
        for (int k = 1; k <= kStates; ++k) {
            trials.push_back(cascaderef::referenceTrial(scaled, {table.taps(k)}, kSpb));
            const double r = trials.back().ratio;
            if (r > best) {
                second = best;
                best = r;
                chosen = k;
            } else if (r > second) {
                second = r;
            }
        }
        ASSERT_GT(best - second, 1e-6);
        ASSERT_GT(best, 0.0);
        ASSERT_NE(chosen, 1);

        FIRwMultipleStepRespLists c;
        configure(c, table, &ch, 1);
        std::stringstream msg;
        ASSERT_TRUE(c.Setup(nullptr, msg) && c.Initialize(msg)) << msg.str();
        EXPECT_EQ(c.EQ1_StepRespIndex, chosen);
        EXPECT_EQ(c.StateCount, kStates);
        EXPECT_EQ(msg.str(), "Optimization of EQ over count = 6 states resulting in max open eye ratio = " +
                                 cascaderef::fmt(best) + " with optimized states\nEQ1_StepRespIndex = " +
                                 std::to_string(chosen) + "\n");
        // The final evaluation: the same length and alignment as the direct
        // form, with its exact first and last samples.
        const std::vector<double>& want = trials[chosen - 1].response;
        ASSERT_EQ(c.EqualizedResponse.size(), want.size());
        const double peak = peakOf(want);
        for (std::size_t i = 0; i < want.size(); ++i)
            ASSERT_NEAR(c.EqualizedResponse[i], want[i], 1e-12 * peak) << i;
        EXPECT_EQ(c.EqualizedResponse.front(), want.front());
        EXPECT_EQ(c.EqualizedResponse.back(), want.back());
        EXPECT_NEAR(c.BestEyeRatio, best, 1e-12 * std::fabs(best));
        c.Finalize();
    }
}

// ResponseFromRest against RunBlock from the same freshly built cascade,
// for a gain other than one.
TEST(CascadeBlockPath, ResponseFromRestMatchesRunBlock)
{
    Table table;
    std::vector<double> ch = longChannel(150000, 2.0, 1.0);
    FIRwMultipleStepRespLists c;
    configure(c, table, &ch, 0);
    c.Gain_dB = 3.0;
    std::stringstream msg;
    ASSERT_TRUE(c.Setup(nullptr, msg) && c.Initialize(msg)) << msg.str();
    const std::size_t n = ch.size() + c.EQ1.Taps().size();
    std::vector<double> in(n, 0.0);
    std::copy(ch.begin(), ch.end(), in.begin());
    std::vector<double> fast(n);
    ASSERT_TRUE(c.ResponseFromRest(in.data(), fast.data(), static_cast<std::int64_t>(n)));
    EXPECT_EQ(c.SampleCount, 0);  // the lists were not run
    std::vector<double> streamed(in);
    c.RunBlock(streamed.data(), streamed.data(), static_cast<std::int64_t>(n), msg);
    const double peak = peakOf(streamed);
    ASSERT_GT(peak, 0.0);
    // Before the channel's first nonzero sample both are exact zeros; in
    // its tail, which underflows, the direct sums may reach zero a little
    // earlier than the transforms.
    for (std::size_t i = 0; i < n; ++i) {
        if (i < 40) {
            ASSERT_EQ(fast[i], 0.0) << i;
        }
        ASSERT_NEAR(fast[i], streamed[i], 1e-12 * peak) << i;
    }
    // A list that is not at rest is not a plain FIR from rest: refused.
    std::vector<double> untouched(n, 9.0);
    EXPECT_FALSE(c.ResponseFromRest(in.data(), untouched.data(), static_cast<std::int64_t>(n)));
    EXPECT_EQ(untouched, std::vector<double>(n, 9.0));
    c.Finalize();
}

}  // namespace
