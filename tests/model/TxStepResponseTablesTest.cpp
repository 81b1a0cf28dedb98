// Properties of the compiled-in driver step-response tables and of their
// expansion into the model's step-response list.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "model/TxStepResponseList.h"
#include "model/TxStepResponseTables.h"

using namespace Veltramodels20200612;

namespace {

struct CornerFacts {
    int rows;
    double lastTime;  // as characterised
    double final16;   // settled level of column 16 (PreEmphasis 0)
    double final1;    // settled level of column 1 (PreEmphasis 15)
};

const CornerFacts kCorners[5] = {
    {398, 9.6868e-10, 0.6168, 0.6480}, {452, 1.10044e-09, 0.5795, 0.6098}, {350, 8.5156e-10, 0.6680, 0.6992},
    {371, 9.028e-10, 0.6257, 0.6614},  {429, 1.04432e-09, 0.6058, 0.6341},
};

double at(int corner, int row, int col)
{
    return TxStepResponseList::Table(corner)[row * TxStepRespColumns + col];
}

// Column col with its first row subtracted.
std::vector<double> column(int corner, int col)
{
    const int rows = TxStepResponseList::Rows(corner);
    std::vector<double> v(rows);
    for (int j = 0; j < rows; ++j)
        v[j] = at(corner, j, col) - at(corner, 0, col);
    return v;
}

double peak(const std::vector<double>& v)
{
    double m = v[0];
    for (double x : v)
        m = std::max(m, x);
    return m;
}

void expectWithin(double actual, double expected, double relTol, const std::string& what)
{
    EXPECT_LE(std::fabs(actual - expected), relTol * std::fabs(expected))
        << what << ": " << actual << " vs " << expected;
}

}  // namespace

TEST(TxStepResponseTables, LayoutRowsAndTimeGrid)
{
    EXPECT_EQ(TxStepRespColumns, 17);
    EXPECT_EQ(TxStepResponseList::NumColumns, 17);
    const double* tables[5] = {&File_TxBE_Data1[0][0], &File_TxBE_Data1_Slow[0][0],
                               &File_TxBE_Data1_Fast[0][0], &File_TxBE_Data1_Leakage[0][0],
                               &File_TxBE_Data1_TempInv[0][0]};
    const int rows[5] = {File_TxBE_Data1_Rows, File_TxBE_Data1_Slow_Rows, File_TxBE_Data1_Fast_Rows,
                         File_TxBE_Data1_Leakage_Rows, File_TxBE_Data1_TempInv_Rows};
    for (int c = 0; c < 5; ++c) {
        SCOPED_TRACE(TxStepResponseList::CornerName(c));
        EXPECT_EQ(TxStepResponseList::Table(c), tables[c]);
        EXPECT_EQ(TxStepResponseList::Rows(c), rows[c]);
        EXPECT_EQ(rows[c], kCorners[c].rows);
        EXPECT_EQ(at(c, 0, 0), 0.0);
        for (int j = 1; j < rows[c]; ++j)
            ASSERT_NEAR(at(c, j, 0), j * 2.44e-12, 1e-12 * j * 2.44e-12) << "row " << j;
        // The last time value is the characterised one, to the last bit.
        EXPECT_EQ(at(c, rows[c] - 1, 0), kCorners[c].lastTime);
    }
}

TEST(TxStepResponseTables, CornerLookupOutsideRange)
{
    for (int c : {-1, 5, 7, 1000}) {
        EXPECT_EQ(TxStepResponseList::Rows(c), 0);
        EXPECT_EQ(TxStepResponseList::Table(c), nullptr);
        EXPECT_STREQ(TxStepResponseList::CornerName(c), "");
        EXPECT_EQ(TxStepResponseList::Create(c), nullptr);
    }
    const char* names[5] = {"Typical", "Slow", "Fast", "Leakage", "TempInv"};
    for (int c = 0; c < 5; ++c)
        EXPECT_STREQ(TxStepResponseList::CornerName(c), names[c]);
}

TEST(TxStepResponseTables, ResponsesStartAtZeroWithinNoise)
{
    for (int c = 0; c < 5; ++c) {
        SCOPED_TRACE(TxStepResponseList::CornerName(c));
        for (int k = 1; k <= 16; ++k) {
            const double r0 = at(c, 0, k), r1 = at(c, 1, k);
            EXPECT_GE(std::fabs(r0), 1e-15) << "column " << k;
            EXPECT_LT(std::fabs(r0), 1e-13) << "column " << k;
            EXPECT_LT(r1, 0.0) << "column " << k;
            EXPECT_GE(std::fabs(r1), 1e-19) << "column " << k;
            EXPECT_LT(std::fabs(r1), 1e-17) << "column " << k;
        }
    }
}

TEST(TxStepResponseTables, OvershootShrinksFromColumn1To12AndIsAbsentAfter)
{
    for (int c = 0; c < 5; ++c) {
        SCOPED_TRACE(TxStepResponseList::CornerName(c));
        double previous = 1e9;
        for (int k = 1; k <= 12; ++k) {
            const std::vector<double> v = column(c, k);
            const double over = peak(v) - v.back();
            EXPECT_GT(over, 0.01 * v.back()) << "column " << k;
            EXPECT_LT(over, previous) << "column " << k;
            previous = over;
        }
        for (int k = 13; k <= 16; ++k) {
            const std::vector<double> v = column(c, k);
            // The largest value is in the last row: nothing before it exceeds it.
            for (size_t j = 0; j + 1 < v.size(); ++j)
                ASSERT_LE(v[j], v.back()) << "column " << k << " row " << j;
        }
    }
}

TEST(TxStepResponseTables, FinalValuesAndColumn1Peaks)
{
    double slowPeak = 0.0, fastPeak = 0.0;
    for (int c = 0; c < 5; ++c) {
        SCOPED_TRACE(TxStepResponseList::CornerName(c));
        for (int k = 1; k <= 16; ++k) {
            const double f = column(c, k).back();
            EXPECT_GT(f, 0.575) << "column " << k;
            EXPECT_LT(f, 0.705) << "column " << k;
        }
        expectWithin(column(c, 16).back(), kCorners[c].final16, 0.01, "final, column 16");
        expectWithin(column(c, 1).back(), kCorners[c].final1, 0.01, "final, column 1");
        const double p1 = peak(column(c, 1));
        EXPECT_GE(p1, 1.02 * 0.99);
        EXPECT_LE(p1, 1.21 * 1.01);
        if (c == 1)
            slowPeak = p1;
        if (c == 2)
            fastPeak = p1;
    }
    expectWithin(slowPeak, 1.02, 0.01, "Slow column 1 peak");
    expectWithin(fastPeak, 1.21, 0.01, "Fast column 1 peak");
    for (int c = 0; c < 5; ++c) {
        EXPECT_GE(peak(column(c, 1)), slowPeak);
        EXPECT_LE(peak(column(c, 1)), fastPeak);
    }
}

TEST(TxStepResponseTables, TellingValuesOfTheTypicalCorner)
{
    struct {
        int col;
        double peak, final;
    } telling[4] = {{1, 1.0983, 0.6480}, {8, 0.8392, 0.6250}, {12, 0.6633, 0.6248}, {16, 0.6168, 0.6168}};
    for (const auto& t : telling) {
        const std::vector<double> v = column(0, t.col);
        expectWithin(peak(v), t.peak, 0.01, "peak of column " + std::to_string(t.col));
        expectWithin(v.back(), t.final, 0.01, "final of column " + std::to_string(t.col));
    }
}

// No column may be a scaled copy of another, or nearly so: the least-squares
// fit of one column by a multiple of another must leave a clear residue.
TEST(TxStepResponseTables, NoTwoColumnsProportional)
{
    for (int c = 0; c < 5; ++c) {
        SCOPED_TRACE(TxStepResponseList::CornerName(c));
        std::vector<std::vector<double>> cols;
        for (int k = 1; k <= 16; ++k)
            cols.push_back(column(c, k));
        for (int a = 0; a < 16; ++a) {
            for (int b = 0; b < 16; ++b) {
                if (a == b)
                    continue;
                double ab = 0, bb = 0, aa = 0;
                for (size_t j = 0; j < cols[a].size(); ++j) {
                    ab += cols[a][j] * cols[b][j];
                    bb += cols[b][j] * cols[b][j];
                    aa += cols[a][j] * cols[a][j];
                }
                const double scale = ab / bb;
                double rr = 0;
                for (size_t j = 0; j < cols[a].size(); ++j) {
                    const double r = cols[a][j] - scale * cols[b][j];
                    rr += r * r;
                }
                EXPECT_GT(std::sqrt(rr / aa), 2e-3) << "columns " << a + 1 << " and " << b + 1;
            }
        }
    }
}

TEST(TxStepResponseList, CreateShiftsEveryColumnToStartAtZero)
{
    for (int c = 0; c < 5; ++c) {
        SCOPED_TRACE(TxStepResponseList::CornerName(c));
        std::vector<double>* list = TxStepResponseList::Create(c);
        ASSERT_NE(list, nullptr);
        const int rows = TxStepResponseList::Rows(c);
        for (int i = 0; i < 17; ++i) {
            ASSERT_EQ(list[i].size(), static_cast<size_t>(rows));
            EXPECT_EQ(list[i][0], 0.0);
            for (int j = 0; j < rows; ++j)
                ASSERT_EQ(list[i][j], at(c, j, i) - at(c, 0, i));
        }
        // The time column starts at 0 and is unchanged.
        EXPECT_EQ(list[0][rows - 1], kCorners[c].lastTime);
        TxStepResponseList::Destroy(list);
        EXPECT_EQ(list, nullptr);
        TxStepResponseList::Destroy(list);  // harmless on null
    }
    EXPECT_EQ(TxStepResponseList::Rows(1), 452);
    EXPECT_EQ(TxStepResponseList::Rows(2), 350);
}

// The committed tables are what the generator produces.
TEST(TxStepResponseTables, GeneratedSourceIsUpToDate)
{
    if (std::system("python3 --version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "python3 not available";
    const std::string cmd =
        std::string("python3 \"") + VM_SOURCE_DIR + "/tools/gen_step_tables.py\" --check > /dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}
