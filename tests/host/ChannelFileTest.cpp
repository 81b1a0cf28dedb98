#include <gtest/gtest.h>

#include "tests/host/HostTestFiles.h"
#include "tools/ami-host/ChannelFile.h"

using namespace Veltramodels20200612;
using hosttest::scratchDir;
using hosttest::writeFile;

TEST(ChannelFile, ReadsOneColumnOfSamples)
{
    const std::string dir = scratchDir();
    ChannelData d;
    std::string error;
    ASSERT_TRUE(
        ChannelFile::Read(writeFile(dir, "a.txt", "# impulse in V/s\n1e9\n\n  -2.5e8\r\n+3\n"), d, error))
        << error;
    EXPECT_FALSE(d.HasTime);
    EXPECT_EQ(d.SampleInterval, 0.0);
    ASSERT_EQ(d.Columns.size(), 1u);
    EXPECT_EQ(d.Columns[0], (std::vector<double>{1e9, -2.5e8, 3.0}));
}

TEST(ChannelFile, ReadsTimeAndValueColumnsWithHeaderAndCrosstalk)
{
    const std::string dir = scratchDir();
    ChannelData d;
    std::string error;
    const std::string csv = "time,through,xtalk\n1e-12,5,0.5\n2e-12,6,0.25,\n3e-12 ; 7 ; 0\n";
    ASSERT_TRUE(ChannelFile::Read(writeFile(dir, "b.csv", csv), d, error)) << error;
    EXPECT_TRUE(d.HasTime);
    EXPECT_NEAR(d.SampleInterval, 1e-12, 1e-27);
    EXPECT_EQ(d.StartTime, 1e-12);
    ASSERT_EQ(d.Columns.size(), 2u);
    EXPECT_EQ(d.Columns[0], (std::vector<double>{5, 6, 7}));
    EXPECT_EQ(d.Columns[1], (std::vector<double>{0.5, 0.25, 0}));

    // Blank separated, with times printed to few digits.
    ASSERT_TRUE(
        ChannelFile::Read(writeFile(dir, "c.txt", "0 1\n3.3333e-13 2\n6.6667e-13\t3\n1e-12 4\n"), d, error))
        << error;
    EXPECT_NEAR(d.SampleInterval, 1e-12 / 3, 1e-18);
}

TEST(ChannelFile, ReportsBadInputWithFileAndLine)
{
    const std::string dir = scratchDir();
    ChannelData d;
    std::string error;
    const std::string p1 = writeFile(dir, "m.txt", "0 1\n1e-12 2\n2e-12 3x\n");
    EXPECT_FALSE(ChannelFile::Read(p1, d, error));
    EXPECT_EQ(error, p1 + ":3: malformed number '3x'");

    const std::string p2 = writeFile(dir, "n.csv", "1,2\n2,,3\n");
    EXPECT_FALSE(ChannelFile::Read(p2, d, error));
    EXPECT_EQ(error, p2 + ":2: missing value");

    const std::string p3 = writeFile(dir, "w.txt", "0 1\n1 2 3\n");
    EXPECT_FALSE(ChannelFile::Read(p3, d, error));
    EXPECT_EQ(error, p3 + ":2: expected 2 columns, found 3");

    // A header is only allowed first.
    const std::string p4 = writeFile(dir, "h.txt", "1\n2\nnan\n");
    EXPECT_FALSE(ChannelFile::Read(p4, d, error));
    EXPECT_EQ(error, p4 + ":3: malformed number 'nan'");

    const std::string p5 = writeFile(dir, "u.txt", "0 1\n1e-12 2\n3e-12 3\n4e-12 4\n");
    EXPECT_FALSE(ChannelFile::Read(p5, d, error));
    EXPECT_NE(error.find("time step not uniform"), std::string::npos) << error;

    const std::string p6 = writeFile(dir, "d.txt", "1 1\n0 2\n");
    EXPECT_FALSE(ChannelFile::Read(p6, d, error));
    EXPECT_EQ(error, "channel file '" + p6 + "': time must increase");

    const std::string p7 = writeFile(dir, "e.txt", "# nothing\n\n");
    EXPECT_FALSE(ChannelFile::Read(p7, d, error));
    EXPECT_EQ(error, "channel file '" + p7 + "' holds no samples");

    EXPECT_FALSE(ChannelFile::Read(dir + "/missing.txt", d, error));
    EXPECT_EQ(error, "cannot open channel file '" + dir + "/missing.txt'");

    const std::string p8 = writeFile(dir, "one.txt", "5e-12 1\n");
    EXPECT_FALSE(ChannelFile::Read(p8, d, error));
    EXPECT_EQ(error, "channel file '" + p8 + "' needs at least two time points");
}

TEST(ChannelFile, CsvRoundTripIsExact)
{
    const std::string dir = scratchDir();
    const std::vector<double> t = {0.0, 2.44140625e-12, 4.8828125e-12};
    const std::vector<double> a = {1.0 / 3.0, -2.0 / 7.0, 1e300};
    std::string error;
    const std::string path = dir + "/r.csv";
    ASSERT_TRUE(ChannelFile::WriteCsv(path, {"time_s", "a"}, {t, a}, error)) << error;
    ChannelData d;
    ASSERT_TRUE(ChannelFile::Read(path, d, error)) << error;
    ASSERT_EQ(d.Columns.size(), 1u);
    EXPECT_EQ(d.Columns[0], a);  // bit for bit
    EXPECT_EQ(d.SampleInterval, 2.44140625e-12);
    // Unequal columns leave empty fields.
    ASSERT_TRUE(ChannelFile::WriteCsv(path, {"x", "y"}, {{1, 2}, {3}}, error));
    EXPECT_EQ(hosttest::readFile(path), "x,y\n1,3\n2,\n");
    EXPECT_FALSE(ChannelFile::WriteCsv(dir + "/no/such/dir/f.csv", {"x"}, {{1}}, error));
}

TEST(ChannelFile, SplitsFields)
{
    EXPECT_EQ(ChannelFile::fields("  1\t2   3 "), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(ChannelFile::fields("1, 2 ;3"), (std::vector<std::string>{"1", "2", "3"}));
    EXPECT_EQ(ChannelFile::fields("1,,3"), (std::vector<std::string>{"1", "", "3"}));
    EXPECT_EQ(ChannelFile::fields("1,2,"), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(ChannelFile::fields(","), (std::vector<std::string>{""}));
    EXPECT_TRUE(ChannelFile::fields("   ").empty());
}
