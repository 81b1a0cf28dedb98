#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "eq/InterpolateStepRespData.h"

using namespace Veltramodels20200612;

namespace {

// A step-response table as the model lends it: an array of column vectors,
// reached through the caller's slot.
struct Table {
    std::vector<std::vector<double>> storage;
    std::vector<double>* columns = nullptr;
    std::vector<double> array[40];

    explicit Table(const std::vector<std::vector<double>>& cols)
    {
        for (size_t c = 0; c < cols.size(); ++c)
            array[c] = cols[c];
        columns = array;
    }
    std::vector<double>** slot() { return &columns; }
};

// Configures a resampler for response `index` of `t`.
void configure(InterpolateStepRespData& s, Table& t, int num, int index, int arrangement,
               double bitRate = 1.0, int spb = 2, int type = 0)
{
    s.StepResp_data_values = t.slot();
    s.NumStepResp = num;
    s.StepRespIndex = index;
    s.ColumnArrangement = arrangement;
    s.BitRate = bitRate;
    s.SamplesPerBit = spb;
    s.InterpolationType = type;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

double sum(const std::vector<double>& v)
{
    double s = 0.0;
    for (double x : v)
        s += x;
    return s;
}

}  // namespace

TEST(InterpolateStepRespData, HandWorkedRampSharedTimeAxis)
{
    // Sample interval 1 / 1 / 2 = 0.5 s; response 2 starts at 1 and rises 8.
    Table t({{0, 1, 2, 3, 4}, {0, 1, 2, 3, 4}, {1, 3, 5, 7, 9}});
    InterpolateStepRespData s;
    std::stringstream msg;
    configure(s, t, 2, 2, 1);
    ASSERT_TRUE(s.Setup(nullptr, msg)) << msg.str();
    EXPECT_EQ(s.ValidRows, 5);
    EXPECT_EQ(s.RowCount, 5);
    EXPECT_EQ(s.SampleInterval, 0.5);
    EXPECT_EQ(s.SampleRate, 2.0);
    EXPECT_EQ(s.ValueData, (std::vector<double>{0, 2, 4, 6, 8}));
    EXPECT_EQ(s.Interpolator.nPtsOut, 8);  // 4 s / 0.5 s
    ASSERT_TRUE(s.Initialize(msg)) << msg.str();
    EXPECT_EQ(msg.str(), "");
    // Step on the grid: 0, 1, ..., 7; differences 0, 1 x 7, scaled by 8 / 7.
    ASSERT_EQ(s.OutputData.size(), 8u);
    EXPECT_EQ(s.OutputData[0], 0.0);
    for (size_t i = 1; i < 8; ++i)
        EXPECT_DOUBLE_EQ(s.OutputData[i], 8.0 / 7.0);
    EXPECT_EQ(s.OutputTime, (std::vector<double>{0, 0.5, 1, 1.5, 2, 2.5, 3, 3.5}));

    for (int i = 0; i < 8; ++i) {
        s.Run();
        EXPECT_EQ(s.Time, 0.5 * i);
        EXPECT_EQ(s.Output, s.OutputData[i]);
    }
    s.Run();  // past the end of an impulse
    EXPECT_EQ(s.Output, 0.0);
    EXPECT_EQ(s.Time, 3.5);
}

TEST(InterpolateStepRespData, BothLayoutsGiveTheSameTaps)
{
    std::vector<double> time, a, b;
    for (int i = 0; i < 60; ++i) {
        time.push_back(i * 0.3);
        a.push_back(0.2 + 0.6 * (1 - std::exp(-i * 0.3 / 2.0)));
        b.push_back(-0.1 + 0.9 * (1 - std::exp(-i * 0.3 / 1.1)) + 0.2 * std::exp(-i * 0.3 / 0.4));
    }
    Table shared({time, a, b});
    Table separate({time, a, time, b});
    for (int index = 1; index <= 2; ++index) {
        for (int type = 0; type <= 2; ++type) {
            InterpolateStepRespData s1, s0;
            std::stringstream m1, m0;
            configure(s1, shared, 2, index, 1, 1.0, 4, type);
            configure(s0, separate, 2, index, 0, 1.0, 4, type);
            ASSERT_TRUE(s1.Setup(nullptr, m1) && s1.Initialize(m1)) << m1.str();
            ASSERT_TRUE(s0.Setup(nullptr, m0) && s0.Initialize(m0)) << m0.str();
            EXPECT_EQ(s1.OutputData, s0.OutputData);
            EXPECT_EQ(s1.OutputTime, s0.OutputTime);
            EXPECT_EQ(s0.ValidRows, 60);
            const std::vector<double>& v = index == 1 ? a : b;
            EXPECT_NEAR(sum(s1.OutputData), v.back() - v.front(), 1e-12);
        }
    }
}

TEST(InterpolateStepRespData, PaddedResponseUsesRowsUpToLastPositiveTime)
{
    // Response 2 has 6 rows, padded with time 0 (and junk values) to 9.
    std::vector<double> t1 = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<double> v1 = {0, 1, 2, 3, 4, 5, 6, 7, 8};
    std::vector<double> t2 = {0, 1, 2, 3, 4, 5, 0, 0, 0};
    std::vector<double> v2 = {0.5, 1, 2, 2.5, 3, 3.5, 99, 99, 99};
    Table padded({t1, v1, t2, v2});
    Table plain({{0, 1, 2, 3, 4, 5}, {0.5, 1, 2, 2.5, 3, 3.5}});

    InterpolateStepRespData s, ref;
    std::stringstream msg;
    configure(s, padded, 2, 2, 0);
    configure(ref, plain, 1, 1, 1);
    ASSERT_TRUE(s.Setup(nullptr, msg) && s.Initialize(msg)) << msg.str();
    ASSERT_TRUE(ref.Setup(nullptr, msg) && ref.Initialize(msg)) << msg.str();
    EXPECT_EQ(s.ValidRows, 6);
    EXPECT_EQ(s.RowCount, 9);
    EXPECT_EQ(s.OutputData, ref.OutputData);
    EXPECT_NEAR(sum(s.OutputData), 3.0, 1e-12);
}

TEST(InterpolateStepRespData, TooFewRows)
{
    std::stringstream msg;
    Table padded({{0, 1, 2, 0, 0}, {0, 1, 2, 9, 9}});
    InterpolateStepRespData s;
    configure(s, padded, 1, 1, 0);
    EXPECT_FALSE(s.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "At least 4 step response values are required.\n");

    // No positive time from row 2 on.
    msg.str("");
    Table early({{0, 1, 0, 0, 0}, {0, 1, 2, 3, 4}});
    configure(s, early, 1, 1, 0);
    EXPECT_FALSE(s.Setup(nullptr, msg));
    EXPECT_EQ(s.ValidRows, 0);
    EXPECT_EQ(msg.str(), "At least 4 step response values are required.\n");

    msg.str("");
    Table shortShared({{0, 1, 2}, {0, 1, 2}});
    configure(s, shortShared, 1, 1, 1);
    EXPECT_FALSE(s.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "At least 4 step response values are required.\n");
    // Nothing left over for Initialize or Run.
    EXPECT_FALSE(s.Initialize(msg));
    EXPECT_TRUE(s.OutputData.empty());
    s.Run();
    EXPECT_EQ(s.Output, 0.0);
}

TEST(InterpolateStepRespData, RawRowsAreReturnedUnshifted)
{
    Table t({{0, 1, 2, 3, 0}, {0.3, 0.5, 0.9, 1.0, 7.0}});
    InterpolateStepRespData s;
    std::stringstream msg;
    configure(s, t, 1, 1, 0);
    s.EnableInterpolation = 0;
    s.DifferentiateData = 0;
    ASSERT_TRUE(s.Setup(nullptr, msg)) << msg.str();
    ASSERT_TRUE(s.Initialize(msg));
    EXPECT_EQ(s.ValidRows, 4);
    const double times[] = {0, 1, 2, 3, 3, 3};
    const double values[] = {0.3, 0.5, 0.9, 1.0, 1.0, 1.0};
    for (int i = 0; i < 6; ++i) {
        s.Run();
        EXPECT_EQ(s.Time, times[i]);
        EXPECT_EQ(s.Output, values[i]);
    }
    EXPECT_EQ(s.RunIndex, 6);
    ASSERT_TRUE(s.Initialize(msg));  // starts again at row 0
    s.Run();
    EXPECT_EQ(s.Output, 0.3);
}

TEST(InterpolateStepRespData, PointCountTruncatesAndStepHoldsFinalValue)
{
    // Last time 5.45 s = 10.9 sample intervals of 0.5 s: 10 points.
    Table t({{0, 1.09, 2.18, 3.27, 4.36, 5.45}, {0, 1, 2, 3, 4, 6}});
    InterpolateStepRespData s;
    std::stringstream msg;
    configure(s, t, 1, 1, 1);
    s.DifferentiateData = 0;
    ASSERT_TRUE(s.Setup(nullptr, msg) && s.Initialize(msg)) << msg.str();
    EXPECT_EQ(s.Interpolator.nPtsOut, 10);
    ASSERT_EQ(s.OutputData.size(), 10u);
    EXPECT_EQ(s.OutputTime.back(), 4.5);
    EXPECT_NEAR(s.OutputData[2], 1.0 / 1.09, 1e-12);  // linear value at 1 s
    for (int i = 0; i < 12; ++i)
        s.Run();
    EXPECT_EQ(s.Time, 4.5);
    EXPECT_EQ(s.Output, s.OutputData.back());  // the step holds its last level
}

TEST(InterpolateStepRespData, SettledStepLosesTrailingZeroTaps)
{
    Table t({{0, 1, 2, 3, 4, 5, 6, 7}, {0, 0.5, 1, 1, 1, 1, 1, 1}});
    InterpolateStepRespData s;
    std::stringstream msg;
    configure(s, t, 1, 1, 1);
    ASSERT_TRUE(s.Setup(nullptr, msg) && s.Initialize(msg)) << msg.str();
    EXPECT_EQ(s.OutputData, (std::vector<double>{0, 0.25, 0.25, 0.25, 0.25}));
    EXPECT_EQ(s.OutputTime.size(), 14u);
    for (int i = 0; i < 6; ++i)
        s.Run();
    EXPECT_EQ(s.Output, 0.0);
    EXPECT_EQ(s.Time, 6.5);

    // A flat response keeps one zero tap instead of NaNs.
    Table flat({{0, 1, 2, 3, 4}, {0.2, 0.2, 0.2, 0.2, 0.2}});
    InterpolateStepRespData f;
    configure(f, flat, 1, 1, 1);
    ASSERT_TRUE(f.Setup(nullptr, msg) && f.Initialize(msg)) << msg.str();
    EXPECT_EQ(f.OutputData, std::vector<double>{0.0});
}

TEST(InterpolateStepRespData, DriverSizedTableTapsSumToEachRise)
{
    // 398 rows at 2.44 ps, 16 responses with decreasing emphasis, each
    // starting at a tiny nonzero value as measured data do.
    const int rows = 398, num = 16;
    std::vector<std::vector<double>> cols(num + 1, std::vector<double>(rows));
    for (int i = 0; i < rows; ++i) {
        const double t = i * 2.44e-12;
        cols[0][i] = t;
        for (int k = 1; k <= num; ++k) {
            const double tau = 40e-12, peak = 0.04 * (num - k);
            cols[k][i] = 1e-14 * k + 0.62 * (1 - std::exp(-t / tau)) + peak * (t / tau) * std::exp(-t / tau);
        }
    }
    Table t(cols);
    for (int k = 1; k <= num; ++k) {
        InterpolateStepRespData s;  // defaults: 28 Gb/s, 32 samples per bit, Lagrange
        std::stringstream msg;
        s.StepResp_data_values = t.slot();
        s.NumStepResp = num;
        s.StepRespIndex = k;
        s.ColumnArrangement = 1;
        ASSERT_TRUE(s.Setup(nullptr, msg) && s.Initialize(msg)) << msg.str();
        EXPECT_EQ(s.Interpolator.nPtsOut, int(cols[0].back() / (1.0 / 28e9 / 32)));
        EXPECT_EQ(s.OutputData[0], 0.0);
        EXPECT_NEAR(sum(s.OutputData), cols[k].back() - cols[k][0], 1e-12) << k;
        EXPECT_EQ(t.array[k][0], 1e-14 * k);  // the caller's table is untouched
    }
}

TEST(InterpolateStepRespData, ParameterFaultsAllReportedInOrder)
{
    Table t({{0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 2, 3}});
    InterpolateStepRespData s;
    std::stringstream msg;
    configure(s, t, 2, 3, 1);
    s.BitRate = -1.0;
    s.SamplesPerBit = 0;
    s.EnableInterpolation = 2;
    s.InterpolationType = -1;
    s.DifferentiateData = 2;
    s.StepData = 3;
    EXPECT_FALSE(s.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "BitRate must be a positive number.\n"
                         "SamplesPerBit must be a positive integer.\n"
                         "Step response index must be an integer in the range [1, 2].\n"
                         "EnableInterpolation must be an integer in the range [0, 1].\n"
                         "InterpolationType must be an integer in the range [0, 2].\n"
                         "DifferentiateData must be an integer in the range [0, 1].\n"
                         "StepData must be an integer in the range [0, 1].\n");

    msg.str("");
    InterpolateStepRespData n;
    configure(n, t, 0, 1, 1);
    n.BitRate = std::nan("");
    n.StepResp_data_values = nullptr;
    EXPECT_FALSE(n.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "BitRate must be a positive number.\n"
                         "Step response index must be an integer in the range [1, 0].\n"
                         "NumStepResp must be an integer > 0.\n"
                         "StepResp_data_values must not be an empty array.\n");
}

TEST(InterpolateStepRespData, TableShapeFaults)
{
    InterpolateStepRespData s;
    std::stringstream msg;
    std::vector<double>* none = nullptr;
    s.StepResp_data_values = &none;
    EXPECT_FALSE(s.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "StepResp_data_values must not be an empty array.\n");

    msg.str("");
    Table empty({{}, {1, 2, 3, 4}});
    configure(s, empty, 1, 1, 1);
    EXPECT_FALSE(s.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "StepResp_data_values[0][0] array size must be > 0.\n");

    // Separate columns: every column up to 2 x NumStepResp - 1 is compared.
    msg.str("");
    Table ragged({{0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 2, 3}, {0, 1, 2}});
    configure(s, ragged, 2, 1, 0);
    EXPECT_FALSE(s.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(),
              "Number of rows for StepResp_data_values[3] is not the same as for StepResp_data_values[0].\n");

    // Shared axis: only columns up to NumStepResp.
    msg.str("");
    configure(s, ragged, 2, 1, 1);
    EXPECT_TRUE(s.Setup(nullptr, msg)) << msg.str();
}

TEST(InterpolateStepRespData, BadTimeAxesAreRejected)
{
    std::stringstream msg;
    Table repeated({{0, 1, 1, 2, 3}, {0, 1, 2, 3, 4}});
    InterpolateStepRespData s;
    configure(s, repeated, 1, 1, 1);
    EXPECT_FALSE(s.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(),
              "xData[3] = 1  <= xData[2] = 1. X-axis data must be in non-repeating ascending order.");

    // Times in picoseconds where seconds are expected: no int point count.
    msg.str("");
    Table ps({{0, 2.44, 4.88, 7.32}, {0, 1, 2, 3}});
    InterpolateStepRespData p;  // 28 Gb/s x 32
    configure(p, ps, 1, 1, 1, 28e9, 32);
    EXPECT_FALSE(p.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(),
              "The last step response time divided by the sample interval must be < 2147483647.\n");

    // A time axis ending before one sample interval gives no points.
    msg.str("");
    Table tiny({{0, 1e-13, 2e-13, 3e-13}, {0, 1, 2, 3}});
    configure(p, tiny, 1, 1, 1, 28e9, 32);
    EXPECT_FALSE(p.Setup(nullptr, msg));
    EXPECT_EQ(msg.str(), "nPtsOut must be an integer > 0.\n");
}

TEST(InterpolateStepRespData, UseFileLineWrittenOnce)
{
    const std::string path = ::testing::TempDir() + "interpolatesteprespdata_use_file.txt";
    {
        std::ofstream log(path);
        Table t({{0, 1, 2, 3, 4}, {0, 1, 2, 3, 4}});
        InterpolateStepRespData s;
        std::stringstream msg;
        configure(s, t, 1, 1, 1);
        ASSERT_TRUE(s.Setup(&log, msg)) << msg.str();
        ASSERT_TRUE(s.Setup(&log, msg)) << msg.str();
    }
    EXPECT_EQ(readFile(path), "Veltramodels20200612::InterpolateStepRespData\n"
                              "Veltramodels20200612::InterpolateData\n");
    std::remove(path.c_str());
}

namespace {

// A table of three smooth responses on a 2.44 ps axis, interpolated with
// the 4-point form onto the 32-samples-per-bit grid of a 12.8 Gb/s bit.
Table smoothTable(double bump = 0.0)
{
    const int rows = 120;
    std::vector<std::vector<double>> cols(4, std::vector<double>(rows));
    for (int i = 0; i < rows; ++i) {
        const double t = i * 2.44e-12;
        cols[0][i] = t;
        for (int k = 1; k <= 3; ++k)
            cols[k][i] = 0.6 * (1 - std::exp(-t / (20e-12 * k))) + 0.02 * k * std::sin(t / 30e-12);
    }
    cols[2][60] += bump;
    return Table(cols);
}

// Taps of response `index` from a fresh object: the interpolation run once.
std::vector<double> freshTaps(Table& t, int index, double bitRate, int type)
{
    InterpolateStepRespData s;
    configure(s, t, 3, index, 1, bitRate, 32, type);
    std::stringstream msg;
    EXPECT_TRUE(s.Setup(nullptr, msg) && s.Initialize(msg)) << msg.str();
    return s.OutputData;
}

}  // namespace

// A response set up again unchanged (a model does it for every column) takes
// the taps of the last interpolation without running it; any change of the
// table, the state, the grid or an interpolation setting runs it again, and
// so does a use file, which logs the run.
TEST(InterpolateStepRespData, UnchangedSetupReusesTheLastInterpolation)
{
    Table t = smoothTable();
    InterpolateStepRespData s;
    configure(s, t, 3, 2, 1, 12.8e9, 32, 2);
    std::stringstream msg;
    ASSERT_TRUE(s.Setup(nullptr, msg) && s.Initialize(msg)) << msg.str();
    const std::vector<double> first = s.OutputData;
    const std::vector<double> times = s.OutputTime;
    const long calls = s.Interpolator.Fit.LagrangeInterpolation_4PointCalls;
    ASSERT_GT(calls, 0);
    s.Finalize();
    ASSERT_TRUE(s.Setup(nullptr, msg) && s.Initialize(msg)) << msg.str();
    EXPECT_EQ(s.OutputData, first);
    EXPECT_EQ(s.OutputTime, times);
    EXPECT_EQ(s.Interpolator.Fit.LagrangeInterpolation_4PointCalls, calls) << "not run again";
    EXPECT_EQ(msg.str(), "");

    // Another state, another grid, another form: each as a fresh object
    // makes it.
    s.StepRespIndex = 3;
    ASSERT_TRUE(s.Setup(nullptr, msg) && s.Initialize(msg));
    EXPECT_EQ(s.OutputData, freshTaps(t, 3, 12.8e9, 2));
    s.BitRate = 10e9;
    ASSERT_TRUE(s.Setup(nullptr, msg) && s.Initialize(msg));
    EXPECT_EQ(s.OutputData, freshTaps(t, 3, 10e9, 2));
    s.InterpolationType = 1;
    ASSERT_TRUE(s.Setup(nullptr, msg) && s.Initialize(msg));
    EXPECT_EQ(s.OutputData, freshTaps(t, 3, 10e9, 1));

    // The same table object with one value changed.
    Table bumped = smoothTable(1e-3);
    InterpolateStepRespData b;
    configure(b, t, 3, 2, 1, 12.8e9, 32, 2);
    ASSERT_TRUE(b.Setup(nullptr, msg) && b.Initialize(msg));
    t.array[2] = bumped.array[2];
    ASSERT_TRUE(b.Setup(nullptr, msg) && b.Initialize(msg));
    EXPECT_EQ(b.OutputData, freshTaps(bumped, 2, 12.8e9, 2));
    EXPECT_NE(b.OutputData, first);

    // A setting changed on the interpolator itself between Setup and
    // Initialize.
    Table plain = smoothTable();
    InterpolateStepRespData c;
    configure(c, plain, 3, 2, 1, 12.8e9, 32, 2);
    ASSERT_TRUE(c.Setup(nullptr, msg) && c.Initialize(msg));
    ASSERT_TRUE(c.Setup(nullptr, msg));
    c.Interpolator.InterpolationType = 0;
    ASSERT_TRUE(c.Initialize(msg));
    EXPECT_EQ(c.OutputData, freshTaps(plain, 2, 12.8e9, 0));

    // With a use file every Initialize interpolates (and logs).
    const std::string path = ::testing::TempDir() + "interpolatesteprespdata_reuse.txt";
    {
        std::ofstream log(path);
        InterpolateStepRespData u;
        configure(u, plain, 3, 2, 1, 12.8e9, 32, 2);
        ASSERT_TRUE(u.Setup(&log, msg) && u.Initialize(msg));
        const long once = u.Interpolator.Fit.LagrangeInterpolation_4PointCalls;
        ASSERT_TRUE(u.Setup(&log, msg) && u.Initialize(msg));
        EXPECT_EQ(u.Interpolator.Fit.LagrangeInterpolation_4PointCalls, 2 * once);
        EXPECT_EQ(u.OutputData, first);
        // Also after a run without one.
        InterpolateStepRespData v;
        configure(v, plain, 3, 2, 1, 12.8e9, 32, 2);
        ASSERT_TRUE(v.Setup(nullptr, msg) && v.Initialize(msg));
        ASSERT_TRUE(v.Setup(&log, msg) && v.Initialize(msg));
        EXPECT_EQ(v.Interpolator.Fit.LagrangeInterpolation_4PointCalls, 2 * once);
    }
    std::remove(path.c_str());
}
