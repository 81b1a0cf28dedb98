// ami-host --batch: rows equal single runs, a bad file fails only its own
// rows, and the list and directory forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "tests/host/HostTestFiles.h"
#include "tools/ami-host/AmiHost.h"
#include "tools/ami-host/AmiModelLibrary.h"
#include "tools/ami-host/AmiParameterFile.h"
#include "tools/ami-host/BatchRunner.h"
#include "tools/ami-host/ChannelFile.h"
#include "tools/ami-host/NumberText.h"
#include "tools/ami-host/PulseEye.h"

using namespace amihost;
using hosttest::readFile;
using hosttest::scratchDir;
using hosttest::writeFile;

namespace {

struct BatchHostRun {
    int status = -1;
    std::string out, err;
};

BatchHostRun host(std::vector<std::string> args)
{
    args.insert(args.begin(), {"--model", FAKE_MODEL, "--ami", FAKE_AMI});
    AmiHost h;
    std::ostringstream out, err;
    BatchHostRun r;
    r.status = h.Main(args, out, err);
    r.out = out.str();
    r.err = err.str();
    return r;
}

// Fields of a CSV line, double quotes honoured.
std::vector<std::string> csvFields(const std::string& line)
{
    std::vector<std::string> f(1);
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            if (quoted && i + 1 < line.size() && line[i + 1] == '"')
                f.back() += '"', ++i;
            else
                quoted = !quoted;
        } else if (c == ',' && !quoted) {
            f.emplace_back();
        } else {
            f.back() += c;
        }
    }
    return f;
}

std::vector<std::vector<std::string>> readCsv(const std::string& path)
{
    std::istringstream in(readFile(path));
    std::string line;
    std::vector<std::vector<std::string>> rows;
    std::getline(in, line);  // header
    while (std::getline(in, line))
        rows.push_back(csvFields(line));
    return rows;
}

// A smooth pulse of 300 samples at 16 samples per bit of 10 Gb/s, its width
// and delay set by k, with a time column.
std::string pulseFile(const std::string& dir, const std::string& name, int k, std::vector<double>* samples)
{
    const double dt = 1e-10 / 16;
    std::vector<double> t(300), h(300);
    for (size_t i = 0; i < t.size(); ++i) {
        t[i] = static_cast<double>(i) * dt;
        const double w = 6.0 + 3.0 * k, x = (static_cast<double>(i) - 30.0 - 5.0 * k) / w;
        h[i] = std::exp(-x * x) / (w * std::sqrt(3.14159265358979323846) * dt);
    }
    std::string error;
    const std::string path = dir + "/" + name;
    EXPECT_TRUE(ChannelFile::WriteCsv(path, {"time_s", "impulse_Vps"}, {t, h}, error)) << error;
    if (samples != nullptr)
        *samples = h;
    return path;
}

// The eye the stand-in model's FIR gives: y[n] = (1 - a) x[n] - a x[n - 16],
// a = state / 40, measured by PulseEye directly.
EyeMetrics expectedEye(const std::vector<double>& x, long state)
{
    const double a = static_cast<double>(state) / 40.0;
    std::vector<double> y(x.size());
    for (size_t n = 0; n < x.size(); ++n)
        y[n] = (1.0 - a) * x[n] - (n >= 16 ? a * x[n - 16] : 0.0);
    PulseEye pe;
    pe.SamplesPerBit = 16;
    pe.SampleInterval = 1e-10 / 16;
    return pe.analyse(pe.pulse(state < 0 ? x : y));
}

double field(const std::vector<std::string>& row, size_t i)
{
    double v = std::nan("");
    EXPECT_TRUE(NumberText::parseDouble(row.at(i), v)) << row.at(i);
    return v;
}

}  // namespace

TEST(BatchRunner, RowsEqualSingleRunsAndTheModelsKnownResponse)
{
    const std::string dir = scratchDir();
    const std::string channels = dir + "/channels";
    std::filesystem::create_directories(channels);
    std::vector<std::vector<double>> x(5);
    std::vector<std::string> files;
    for (int k = 0; k < 5; ++k)
        files.push_back(pulseFile(channels, "ch" + std::to_string(k) + ".csv", k, &x[k]));
    writeFile(channels, ".hidden", "not a channel");  // skipped
    const BatchHostRun b = host({"--batch", channels, "--bit-rate", "10", "--corners", "all", "--jobs", "3",
                                 "--out", dir + "/out", "AutoInit=1", "CornerCase=1"});
    ASSERT_EQ(b.status, 0) << b.err << b.out;
    EXPECT_NE(b.out.find("Batch: 5 channel files x 3 corners\n"), std::string::npos) << b.out;
    EXPECT_NE(b.out.find("15 of 15 runs succeeded.\n"), std::string::npos) << b.out;
    const std::vector<std::vector<std::string>> rows = readCsv(dir + "/out/batch.csv");
    ASSERT_EQ(rows.size(), 15u);
    for (size_t i = 0; i < rows.size(); ++i) {
        const std::vector<std::string>& row = rows[i];
        SCOPED_TRACE(row.at(0) + " corner " + row.at(1));
        ASSERT_EQ(row.size(), 9u);
        const size_t k = i / 3;
        const long corner = static_cast<long>(i % 3);
        EXPECT_EQ(row[0], files[k]);
        EXPECT_EQ(row[1], std::to_string(corner));
        EXPECT_EQ(row[2], "1");
        // The stand-in picks state 4 + CornerCase under AutoInit.
        EXPECT_EQ(row[3], std::to_string(4 + corner));
        EXPECT_EQ(row[8], "ok");
        const EyeMetrics before = expectedEye(x[k], -1), after = expectedEye(x[k], 4 + corner);
        EXPECT_NEAR(field(row, 4), before.EyeHeight, 1e-12);
        EXPECT_NEAR(field(row, 5), before.EyeWidthUI, 1e-12);
        EXPECT_NEAR(field(row, 6), after.EyeHeight, 1e-12);
        EXPECT_NEAR(field(row, 7), after.EyeWidthUI, 1e-12);

        // The same (file, corner) as a single run: the same numbers, to the
        // last bit, as its summary and its output columns show.
        const std::string single = dir + "/single" + std::to_string(i);
        const BatchHostRun s = host({"--channel", files[k], "--bit-rate", "10", "--out", single, "AutoInit=1",
                                     "CornerCase=" + std::to_string(corner)});
        ASSERT_EQ(s.status, 0) << s.err;
        EXPECT_NE(s.out.find("PreEmphasis state: " + row[3] + " (chosen by AutoInit)\n"), std::string::npos);
        ChannelData d;
        std::string error;
        ASSERT_TRUE(ChannelFile::Read(single + "/impulse.csv", d, error)) << error;
        // The single run's timing, as it built it from the same options.
        HostOptions o;
        ASSERT_TRUE(AmiHost::parseArguments({"--channel", files[k], "--bit-rate", "10"}, o, error)) << error;
        HostChannel ch;
        ASSERT_TRUE(AmiHost::buildChannel(o, ch, error)) << error;
        ASSERT_EQ(ch.Columns[0], d.Columns[0]);
        const EyeMetrics sb = AmiHost::measure({d.Columns[0]}, ch).Metrics;
        const EyeMetrics sa = AmiHost::measure({d.Columns[1]}, ch).Metrics;
        EXPECT_EQ(row[4], NumberText::format(sb.EyeHeight));
        EXPECT_EQ(row[5], NumberText::format(sb.EyeWidthUI));
        EXPECT_EQ(row[6], NumberText::format(sa.EyeHeight));
        EXPECT_EQ(row[7], NumberText::format(sa.EyeWidthUI));
        EXPECT_NE(s.out.find("  eye height [mV]"), std::string::npos);
    }
    // Without --corners: the CornerCase in effect (the override), one row per file.
    const BatchHostRun one =
        host({"--batch", channels, "--bit-rate", "10", "--out", dir + "/out1", "AutoInit=1", "CornerCase=2"});
    ASSERT_EQ(one.status, 0) << one.err;
    const std::vector<std::vector<std::string>> rows1 = readCsv(dir + "/out1/batch.csv");
    ASSERT_EQ(rows1.size(), 5u);
    for (size_t k = 0; k < 5; ++k) {
        EXPECT_EQ(rows1[k][1], "2");
        EXPECT_EQ(rows1[k][3], "6");
        EXPECT_EQ(rows1[k][6], rows[3 * k + 2][6]);  // the corner-2 row of the first batch
    }
}

TEST(BatchRunner, ABadFileFailsOnlyItsOwnRows)
{
    const std::string dir = scratchDir();
    std::vector<double> x;
    pulseFile(dir, "good.csv", 1, &x);
    pulseFile(dir, "also good.csv", 2, nullptr);
    const std::string bad = writeFile(dir, "bad.s2p", "# GHz S MA\n1 1 0 1 0 1 0\n");
    const std::string nan = writeFile(dir, "nan.csv", "time,v\n0,1\n1e-11,inf\n");
    const std::string list = writeFile(dir, "list.txt",
                                       "# channels of the batch\n"
                                       "good.csv\n"
                                       "\n"
                                       "bad.s2p\n"
                                       "  /dev/zero  \n" +
                                           nan + "\nalso good.csv\nmissing.csv\n");
    const BatchHostRun b =
        host({"--batch", list, "--bit-rate", "10", "--corners", "0,2", "--jobs", "2", "--out", dir + "/out"});
    EXPECT_EQ(b.status, 1) << b.err;
    const std::vector<std::vector<std::string>> rows = readCsv(dir + "/out/batch.csv");
    ASSERT_EQ(rows.size(), 12u);
    const std::string d = dir + "/";
    const std::vector<std::pair<std::string, std::string>> want = {
        {d + "good.csv", "ok"},
        {d + "bad.s2p",
         d + "bad.s2p:2: 6 values at frequency 1 GHz where 2 ports need 8 (wrong port count or "
             "missing values)"},
        {"/dev/zero", "cannot open channel file '/dev/zero': not a regular file"},
        {nan, nan + ":3: 'inf' is not a finite number"},
        {d + "also good.csv", "ok"},
        {d + "missing.csv", "cannot open channel file '" + d + "missing.csv'"},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(rows[i][0], want[i / 2].first);
        EXPECT_EQ(rows[i][1], i % 2 ? "2" : "0");
        EXPECT_EQ(rows[i][8], want[i / 2].second);
        const bool ok = want[i / 2].second == "ok";
        EXPECT_EQ(rows[i][2], ok ? "1" : "");
        EXPECT_EQ(rows[i][6].empty(), !ok);
    }
    // The good rows are those of a batch of the good files alone.
    // The good rows hold the stand-in's response (AutoInit off: PreEmphasis 2).
    EXPECT_NEAR(field(rows[0], 6), expectedEye(x, 2).EyeHeight, 1e-12);
    EXPECT_NEAR(field(rows[1], 6), expectedEye(x, 2).EyeHeight, 1e-12);
    EXPECT_NE(b.out.find("4 of 12 runs succeeded.\n"), std::string::npos);
    // The plot script is written; the picture only with --plot.
    EXPECT_NE(readFile(dir + "/out/batch.gp").find("plot 'batch.csv'"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(dir + "/out/batch.png"));
    if (std::system("gnuplot --version > /dev/null 2>&1") == 0) {
        const BatchHostRun p = host({"--batch", list, "--bit-rate", "10", "--out", dir + "/plot", "--plot"});
        EXPECT_EQ(p.status, 1);
        EXPECT_NE(p.out.find("Plot: " + dir + "/plot/batch.png\n"), std::string::npos) << p.out << p.err;
        EXPECT_EQ(readFile(dir + "/plot/batch.png").substr(0, 8), "\x89PNG\r\n\x1a\n");
    }
    EXPECT_NE(b.out.find("not a regular file"), std::string::npos);
}

TEST(BatchRunner, ListsAndOptionErrors)
{
    const std::string dir = scratchDir();
    std::vector<std::string> files;
    std::string error;
    EXPECT_FALSE(BatchRunner::listFiles(dir, files, error));
    EXPECT_EQ(error, "batch directory '" + dir + "' holds no files");
    const std::string empty = writeFile(dir, "empty.txt", "# nothing\n\n");
    EXPECT_FALSE(BatchRunner::listFiles(empty, files, error));
    EXPECT_EQ(error, "batch list '" + empty + "' names no files");
    EXPECT_FALSE(BatchRunner::listFiles(dir + "/none", files, error));
    EXPECT_EQ(error, "cannot open batch list '" + dir + "/none'");
    EXPECT_FALSE(BatchRunner::listFiles("/dev/zero", files, error));
    EXPECT_EQ(error, "cannot open batch list '/dev/zero': not a regular file");
    std::filesystem::create_directories(dir + "/d/sub");
    writeFile(dir + "/d", "b.s4p", "");
    writeFile(dir + "/d", "a.csv", "");
    ASSERT_TRUE(BatchRunner::listFiles(dir + "/d", files, error)) << error;
    EXPECT_EQ(files,
              (std::vector<std::string>{dir + "/d/a.csv", dir + "/d/b.s4p"}));  // sorted, no directories

    auto oneLine = [](const BatchHostRun& r, const std::string& text) {
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, "ami-host: error: " + text + "\n");
        EXPECT_EQ(r.out, "");
    };
    oneLine(host({"--batch", dir, "--channel", empty}),
            "--batch runs its own channels; --channel does not go with it");
    oneLine(host({"--batch", dir, "--sweep"}), "--batch runs its own channels; --sweep does not go with it");
    oneLine(host({"--corners", "all"}), "--corners applies to --batch runs only");
    oneLine(host({"--jobs", "2"}), "--jobs applies to --batch runs only");
    oneLine(host({"--jobs", "0", "--batch", dir}), "--jobs must be in [1, 1024], got 0");
    oneLine(host({"--batch", dir + "/d", "--corners", "1,x"}),
            "--corners takes 'all' or a comma-separated list of CornerCase values, got '1,x'");
    oneLine(host({"--batch", dir + "/d", "--length", "1"}),
            "--length applies to the embedded channel only, not to --channel files");
}

TEST(BatchRunner, ModelFailuresCarryTheMessageAndProgressCountsRuns)
{
    const std::string dir = scratchDir();
    std::vector<double> x;
    const std::string a = pulseFile(dir, "a.csv", 0, &x);
    const std::string b = pulseFile(dir, "b.csv", 1, nullptr);
    AmiParameterFile ami;
    AmiModelLibrary lib;
    std::string error;
    ASSERT_TRUE(ami.Load(FAKE_AMI, error)) << error;
    ASSERT_TRUE(lib.Load(FAKE_MODEL, error)) << error;
    HostOptions o;
    ASSERT_TRUE(AmiHost::parseArguments({"--bit-rate", "10", "PreEmphasis=20"}, o, error)) << error;
    BatchRunner runner;
    runner.Jobs = 2;
    std::ostringstream progress;
    runner.Progress = &progress;
    const std::vector<BatchRow> rows = runner.Run(o, ami, lib, {a, b}, {"0", "1"});
    ASSERT_EQ(rows.size(), 4u);
    for (const BatchRow& r : rows) {
        EXPECT_TRUE(r.InputOk);
        EXPECT_EQ(r.InitReturn, 0);
        EXPECT_EQ(BatchRunner::status(r), "AMI_Init returned 0: Fake Tx model / CornerCase = " + r.Corner +
                                              " / Fake: PreEmphasis out of range");
    }
    EXPECT_EQ(rows[2].File, b);
    EXPECT_EQ(rows[3].Corner, "1");
    // One update per run, in order of completion, then a line feed.
    const std::string p = progress.str();
    for (int k = 1; k <= 4; ++k)
        EXPECT_NE(p.find("\rbatch: " + std::to_string(k) + "/4 runs done, " + std::to_string(k) + " failed"),
                  std::string::npos)
            << p;
    EXPECT_EQ(p.back(), '\n');
    EXPECT_EQ(std::count(p.begin(), p.end(), '\r'), 4);
    // The table names the failure as well.
    EXPECT_NE(BatchRunner::report(rows).find("0 of 4 runs succeeded.\n"), std::string::npos);
}
