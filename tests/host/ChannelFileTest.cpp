#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "tests/host/HostTestFiles.h"
#include "tools/ami-host/ChannelFile.h"
#include "tools/ami-host/LineReader.h"

using namespace amihost;
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
    EXPECT_EQ(error, p4 + ":3: 'nan' is not a finite number");

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

TEST(ChannelFile, NonFiniteFirstLineIsAnErrorNotAHeader)
{
    // Taken as a header, such a line would silently drop a sample.
    const std::string dir = scratchDir();
    ChannelData d;
    std::string error;
    const std::string nines(400, '9');
    const std::pair<std::string, std::string> cases[] = {
        {"nan\n1\n2\n", ":1: 'nan' is not a finite number"},
        {"# comment\n\ninf\n1\n", ":3: 'inf' is not a finite number"},
        {"1e400\n1\n", ":1: '1e400' is not a finite number"},
        {"time,through\n0,-Infinity\n", ":2: '-Infinity' is not a finite number"},
        {"0;NaN\n1e-12;2\n", ":1: 'NaN' is not a finite number"},
        {"+inf 3\n", ":1: '+inf' is not a finite number"},
        // Overflow without an exponent.
        {nines + "\n", ":1: '" + nines + "' is not a finite number"},
        // Underflow is finite but not representable: malformed, and again no header.
        {"1e-400\n1\n", ":1: malformed number '1e-400'"},
    };
    int k = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first.substr(0, 20));
        const std::string path = writeFile(dir, "f" + std::to_string(k++) + ".txt", c.first);
        EXPECT_FALSE(ChannelFile::Read(path, d, error));
        EXPECT_EQ(error, path + c.second);
    }
    // Words that merely start like numbers still make a header.
    const std::string h = writeFile(dir, "h.csv", "infinite,nanoseconds\n0,1\n1e-12,2\n");
    ASSERT_TRUE(ChannelFile::Read(h, d, error)) << error;
    EXPECT_EQ(d.Columns[0], (std::vector<double>{1, 2}));
}

TEST(ChannelFile, RefusesWhatIsNotARegularFile)
{
    ChannelData d;
    std::string error;
    // Would read forever.
    EXPECT_FALSE(ChannelFile::Read("/dev/zero", d, error));
    EXPECT_EQ(error, "cannot open channel file '/dev/zero': not a regular file");
    const std::string dir = scratchDir();
    EXPECT_FALSE(ChannelFile::Read(dir, d, error));
    EXPECT_EQ(error, "cannot open channel file '" + dir + "': it is a directory");
#if !defined(_WIN32)
    // A pipe with no writer would block the open forever.
    const std::string fifo = dir + "/pipe";
    ASSERT_EQ(std::system(("mkfifo '" + fifo + "'").c_str()), 0);
    EXPECT_FALSE(ChannelFile::Read(fifo, d, error));
    EXPECT_EQ(error, "cannot open channel file '" + fifo + "': not a regular file");
#endif
    // A link to a regular file is followed.
    const std::string target = writeFile(dir, "t.txt", "1\n2\n");
    std::filesystem::create_symlink(target, dir + "/link.txt");
    ASSERT_TRUE(ChannelFile::Read(dir + "/link.txt", d, error)) << error;
    EXPECT_EQ(d.Columns[0], (std::vector<double>{1, 2}));
}

TEST(ChannelFile, CapsLineLengthAndFileSize)
{
    const std::string dir = scratchDir();
    ChannelData d;
    std::string error;
    // One byte over the line limit on line 2; a line of exactly the limit is read.
    const size_t limit = LineReader::kDefaultMaxLineBytes;
    std::string exact = "1" + std::string(limit - 1, ' ');
    const std::string ok = writeFile(dir, "ok.txt", exact + "\n2\n");
    ASSERT_TRUE(ChannelFile::Read(ok, d, error)) << error;
    EXPECT_EQ(d.Columns[0], (std::vector<double>{1, 2}));
    const std::string longLine = writeFile(dir, "long.txt", "1\n2" + std::string(limit, ' ') + "\n3\n");
    EXPECT_FALSE(ChannelFile::Read(longLine, d, error));
    EXPECT_EQ(error, longLine + ":2: line longer than 65536 bytes");
    // Without any line feed at all (a binary file).
    const std::string blob = writeFile(dir, "blob.bin", std::string(3 * limit, 'x'));
    EXPECT_FALSE(ChannelFile::Read(blob, d, error));
    EXPECT_EQ(error, blob + ":1: line longer than 65536 bytes");

    // A sparse file just over the size limit is refused before reading.
    const std::string big = writeFile(dir, "big.txt", "");
    std::filesystem::resize_file(big, LineReader::kDefaultMaxFileBytes + 1);
    EXPECT_FALSE(ChannelFile::Read(big, d, error));
    EXPECT_EQ(error, "channel file '" + big + "' is larger than the limit of 256 MiB");
    std::filesystem::remove(big);
}

TEST(LineReader, SplitsLinesAcrossBufferRefillsAndStopsAtItsLimits)
{
    const std::string dir = scratchDir();
    // Lines of every length around the 64 KiB read block, so that line ends
    // fall on and beside refill boundaries.
    std::string text;
    std::vector<std::string> expected;
    for (size_t n = 0; text.size() < 300000; n += 997) {
        expected.push_back(std::string(n % 70000, static_cast<char>('a' + n % 26)));
        text += expected.back() + "\n";
    }
    text += "last";  // no final line feed
    expected.push_back("last");
    const std::string path = writeFile(dir, "lines.txt", text);
    {
        LineReader r;
        r.MaxLineBytes = 70000;
        std::string error, line;
        ASSERT_TRUE(r.Open(path, "test file", error)) << error;
        std::vector<std::string> got;
        while (r.Next(line, error))
            got.push_back(line);
        EXPECT_EQ(error, "");
        EXPECT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected);
        EXPECT_EQ(r.lineNumber(), static_cast<long>(expected.size()));
    }
    {
        // The size limit also holds while reading (a file that grows).
        LineReader r;
        r.MaxLineBytes = 70000;
        std::string error, line;
        ASSERT_TRUE(r.Open(path, "test file", error)) << error;
        r.MaxFileBytes = 100000;
        while (r.Next(line, error)) {
        }
        EXPECT_EQ(error, "test file '" + path + "' is larger than the limit of 100000 bytes");
    }
    LineReader r;
    std::string error;
    EXPECT_FALSE(r.Open(dir + "/none", "test file", error));
    EXPECT_EQ(error, "cannot open test file '" + dir + "/none'");
}
