#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "tests/host/HostTestFiles.h"
#include "tools/ami-host/AmiHost.h"
#include "tools/ami-host/ChannelFile.h"

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

using namespace amihost;
using hosttest::readFile;
using hosttest::scratchDir;
using hosttest::writeFile;

namespace {

struct HostRun {
    int status = -1;
    std::string out;
    std::string err;
};

HostRun host(std::vector<std::string> args, bool fake = true)
{
    if (fake) {
        args.insert(args.begin(), {"--model", FAKE_MODEL, "--ami", FAKE_AMI});
    }
    AmiHost h;
    h.DefaultModelPath = MODEL_LIBRARY;
    h.DefaultAmiPath = AMIHOST_AMI;
    std::ostringstream out, err;
    HostRun r;
    r.status = h.Main(args, out, err);
    r.out = out.str();
    r.err = err.str();
    return r;
}

// A bad input ends the program with exactly one line on stderr.
void expectOneLineError(const HostRun& r, const std::string& text)
{
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "ami-host: error: " + text + "\n");
    EXPECT_EQ(r.out, "");
}

// A two-column channel: a smooth pulse of `rows` samples at 16 samples per
// bit of 10 Gb/s, in V/s.
std::string channelFile(const std::string& dir, size_t rows, std::vector<double>* samples = nullptr)
{
    const double dt = 1e-10 / 16;
    std::vector<double> t(rows), h(rows);
    for (size_t i = 0; i < rows; ++i) {
        t[i] = static_cast<double>(i) * dt;
        const double x = (static_cast<double>(i) - 40.0) / 12.0;
        h[i] = std::exp(-x * x) / (12.0 * std::sqrt(3.14159265358979323846) * dt);
    }
    std::string error;
    const std::string path = dir + "/channel.csv";
    EXPECT_TRUE(ChannelFile::WriteCsv(path, {"time_s", "impulse_Vps"}, {t, h}, error)) << error;
    if (samples != nullptr)
        *samples = h;
    return path;
}

}  // namespace

TEST(AmiHost, BadInputGivesOneLineAndStatusTwo)
{
    const std::string dir = scratchDir();
    expectOneLineError(host({"--channel", "/dev/zero"}),
                       "cannot open channel file '/dev/zero': not a regular file");
    expectOneLineError(
        host({"--channel", writeFile(dir, "nan.txt", "nan\n1\n"), "--sample-interval", "1e-12"}),
        dir + "/nan.txt:1: 'nan' is not a finite number");
    expectOneLineError(host({"--frobnicate"}), "unknown option '--frobnicate' (see --help)");
    expectOneLineError(
        host({"Preemphasis=3"}),
        "unknown parameter 'Preemphasis' (parameters of FakeTx: AutoInit, PreEmphasis, CornerCase, "
        "OutputGain)");
    expectOneLineError(host({"PreEmphasis=three"}), "value 'three' of PreEmphasis is not an integer");
    expectOneLineError(host({"stray"}),
                       "unexpected argument 'stray' (model parameters are given as NAME=VALUE)");
    expectOneLineError(host({"=3"}), "unexpected argument '=3' (model parameters are given as NAME=VALUE)");
    expectOneLineError(host({"--bit-rate", "12.8G"}), "malformed number '12.8G' for --bit-rate");
    expectOneLineError(host({"--bit-rate=0"}), "--bit-rate (Gb/s) must be in [0.001, 1000], got 0");
    expectOneLineError(host({"--aggressors", "65"}), "--aggressors must be in [0, 64], got 65");
    expectOneLineError(host({"--aggressors", "2.5"}), "malformed integer '2.5' for --aggressors");
    expectOneLineError(host({"--out"}), "option --out needs a value");
    expectOneLineError(host({"--plot"}), "--plot needs --out DIR");
    expectOneLineError(host({"--sweep=1"}), "option --sweep takes no value");
    expectOneLineError(host({"--channel", dir + "/none.csv"}),
                       "cannot open channel file '" + dir + "/none.csv'");
    expectOneLineError(host({"--ami", dir + "/none.ami"}), "cannot open .ami file '" + dir + "/none.ami'");
    const HostRun noModel = host({"--model", dir + "/none.so"});
    EXPECT_EQ(noModel.status, 2);
    EXPECT_EQ(noModel.err.rfind("ami-host: error: cannot load model library '" + dir + "/none.so'", 0), 0u);
    EXPECT_EQ(std::count(noModel.err.begin(), noModel.err.end(), '\n'), 1);

    const std::string bad = writeFile(dir, "bad.csv", "0,1e9\n1e-12,2e9\n2e-12,1.0.0\n");
    expectOneLineError(host({"--channel", bad}), bad + ":3: malformed number '1.0.0'");
    const std::string one = writeFile(dir, "one.txt", "1e9\n0\n");
    expectOneLineError(host({"--channel", one}),
                       "channel file '" + one + "' has one column: give --sample-interval");
    expectOneLineError(
        host({"--channel", one, "--sample-interval", "1e-12", "--bit-rate", "12.8"}),
        "bit time / sample interval is 78.125; the eye analysis needs a whole number of samples per "
        "bit (>= 2): check --bit-rate");
    expectOneLineError(host({"--channel", one, "--length", "1"}),
                       "--length applies to the embedded channel only, not to --channel files");
    expectOneLineError(host({"--sample-interval", "1e-12"}),
                       "--sample-interval applies to --channel files only");
    expectOneLineError(host({"--aggressor-file", bad}), bad + ":3: malformed number '1.0.0'");
    // Directories where files belong, a file where the output directory
    // belongs: refused before the model runs (nothing on stdout).
    expectOneLineError(host({"--channel", dir}), "cannot open channel file '" + dir + "': it is a directory");
    expectOneLineError(host({"--ami", dir}), "cannot open .ami file '" + dir + "': it is a directory");
    expectOneLineError(host({"--out", one}), "cannot create output directory '" + one + "'");
    // A file that is not a library.
    const HostRun notLib = host({"--model", FAKE_AMI});
    EXPECT_EQ(notLib.status, 2);
    EXPECT_EQ(
        notLib.err.rfind(std::string("ami-host: error: cannot load model library '") + FAKE_AMI + "'", 0),
        0u);
}

TEST(AmiHost, RunsAModelOnAFileChannelAndWritesItsOutput)
{
    const std::string dir = scratchDir();
    std::vector<double> h;
    const std::string ch = channelFile(dir, 400, &h);
    const HostRun r =
        host({"--channel", ch, "--bit-rate", "10", "--out", dir + "/out", "PreEmphasis=8", "OutputGain=0.5"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Parameters: (FakeTx (AutoInit 0)(PreEmphasis 8)(CornerCase 0)(OutputGain 0.5))\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("AMI_Init returned 1\nMessage:\n  Fake Tx model\n  CornerCase = 0\n"
                         "  The selected PreEmphasis state = 8\nAMI_Close returned 1\n"
                         "PreEmphasis state: 8 (selected)\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(readFile(dir + "/out/message.txt"),
              "Fake Tx model\nCornerCase = 0\nThe selected PreEmphasis state = 8\n");
    EXPECT_EQ(readFile(dir + "/out/parameters.txt"),
              "(FakeTx (AutoInit 0)(PreEmphasis 8)(CornerCase 0)(OutputGain 0.5))\n");
    EXPECT_EQ(readFile(dir + "/out/summary.txt"), r.out);

    // The output column is the stand-in model's FIR applied to the input:
    // y[n] = 0.5 (0.8 x[n] - 0.2 x[n - 16]).
    ChannelData d;
    std::string error;
    ASSERT_TRUE(ChannelFile::Read(dir + "/out/impulse.csv", d, error)) << error;
    ASSERT_EQ(d.Columns.size(), 2u);
    ASSERT_EQ(d.Columns[1].size(), h.size());
    EXPECT_EQ(d.Columns[0], h);
    for (size_t n = 0; n < h.size(); ++n) {
        const double want = 0.5 * (0.8 * h[n] - (n >= 16 ? 0.2 * h[n - 16] : 0.0));
        ASSERT_NEAR(d.Columns[1][n], want, 1e-15 * std::fabs(h[40])) << n;
    }
    // The pulse responses: before, the channel's; its peak is the sum of the
    // Gaussian over the 16 samples around its centre (almost 1 V).
    ASSERT_TRUE(ChannelFile::Read(dir + "/out/pulse.csv", d, error)) << error;
    ASSERT_EQ(d.Columns[0].size(), h.size() + 15);
    double peak = 0.0;
    for (double v : d.Columns[0])
        peak = std::max(peak, v);
    EXPECT_NEAR(peak, std::erf(8.0 / 12.0), 2e-3);
    // eye.csv: 33 phases, the 'before' opening at the best phase equal to the
    // reported height.
    ASSERT_TRUE(ChannelFile::Read(dir + "/out/eye.csv", d, error)) << error;
    ASSERT_EQ(d.Columns.size(), 12u);
    ASSERT_EQ(d.Columns[0].size(), 33u);
    const std::string summary = r.out;
    const size_t at = summary.find("  eye height [mV]");
    ASSERT_NE(at, std::string::npos);
    std::istringstream row(summary.substr(at + 17));
    double before = 0, after = 0;
    row >> before >> after;
    EXPECT_NEAR((d.Columns[0][16] - d.Columns[1][16]) * 1e3, before, 0.05);
    EXPECT_NEAR((d.Columns[6][16] - d.Columns[7][16]) * 1e3, after, 0.05);
}

TEST(AmiHost, RunsOnTouchstoneChannels)
{
    // A first-order low-pass at 3 GHz with 1 ns of delay, 100 MHz to 10 GHz:
    // a 2-port file in version 1.x and the same line as a 4-port pair in 2.0.
    const std::string dir = scratchDir();
    const double pi = 3.14159265358979323846;
    auto h = [&](double f) {
        return std::complex<double>(1.0, 0.0) / std::complex<double>(1.0, f / 3e9) *
               std::polar(1.0, -2 * pi * f * 1e-9);
    };
    std::ostringstream s2, s4;
    s2 << "! low-pass\n# MHz S RI R 50\n";
    s4 << "[Version] 2.0\n# GHz S RI R 50\n[Number of Ports] 4\n[Number of Frequencies] 100\n[Network Data]\n";
    s2.precision(17);
    s4.precision(17);
    for (int k = 1; k <= 100; ++k) {
        const double f = k * 100e6;
        const std::complex<double> v = h(f);
        s2 << f / 1e6 << " 0 0 " << v.real() << " " << v.imag() << " " << v.real() << " " << v.imag()
           << " 0 0\n";
        // Lines 1->3 and 2->4, uncoupled: SDD21 = S31 = S42 = H.
        s4 << f / 1e9;
        for (int i = 1; i <= 4; ++i) {
            for (int j = 1; j <= 4; ++j) {
                const bool through = (i == j + 2) || (j == i + 2);
                s4 << " " << (through ? v.real() : 0.0) << " " << (through ? v.imag() : 0.0);
            }
            s4 << "\n";
        }
    }
    s4 << "[End]\n";
    const std::string p2 = writeFile(dir, "lp.s2p", s2.str());
    const std::string p4 = writeFile(dir, "lp.ts", s4.str());
    // The low-pass flattens towards DC: the line through the two lowest
    // points, 2 |H(100 MHz)| - |H(200 MHz)| = 1.0011, is clipped to 1.
    const HostRun r2 = host(
        {"--channel", p2, "--bit-rate", "10", "--samples-per-bit", "16", "--save-channel", dir + "/ch2.csv"});
    ASSERT_EQ(r2.status, 0) << r2.err;
    EXPECT_NE(
        r2.out.find("Channel: Touchstone file " + p2 +
                    " (2048 samples)\n"
                    "  Touchstone 1.x, 2 ports, 100 frequencies from 100 MHz to 10 GHz (MHz, RI), reference "
                    "50 ohm\n"
                    "  through: S21 (port 1 -> port 2)\n"
                    "  0 Hz: no point in the file; added by linear extrapolation from 100 MHz and 200 MHz: "
                    "H(0) = 1.0000 (through)\n"
                    "  band edge: data ends at 10 GHz; raised-cosine roll-off to 0 at 12.5 GHz (grid Nyquist "
                    "80 GHz)\n"),
        std::string::npos)
        << r2.out;
    EXPECT_NE(r2.out.find("sample interval 6.25 ps, bit time 100 ps (16 samples/bit)"), std::string::npos)
        << r2.out;
    const HostRun r4 = host(
        {"--channel", p4, "--bit-rate", "10", "--samples-per-bit", "16", "--save-channel", dir + "/ch4.csv"});
    ASSERT_EQ(r4.status, 0) << r4.err;
    EXPECT_NE(r4.out.find("  through: SDD21 of pair 1 (lines 1->3 and 2->4; --port-map 13_24)\n"),
              std::string::npos)
        << r4.out;
    // The same line either way, delayed by 1 ns = 160 samples: its pulse
    // response (1 V for 16 samples) settles at the DC gain.
    ChannelData c2, c4;
    std::string error;
    ASSERT_TRUE(ChannelFile::Read(dir + "/ch2.csv", c2, error)) << error;
    ASSERT_TRUE(ChannelFile::Read(dir + "/ch4.csv", c4, error)) << error;
    // 1 / (100 MHz * 6.25 ps) = 1600 points, raised to the 4096-point minimum.
    ASSERT_EQ(c2.Columns[0].size(), 2048u);
    double diff = 0.0, peak = 0.0;
    for (size_t i = 0; i < c2.Columns[0].size(); ++i) {
        diff = std::max(diff, std::fabs(c2.Columns[0][i] - c4.Columns[0][i]));
        peak = std::max(peak, std::fabs(c2.Columns[0][i]));
    }
    EXPECT_LT(diff, 1e-9 * peak);
    // Its step response: nothing until the 1 ns delay (sample 160), then
    // 1 - exp(-t / 53 ps), settled to 1 within 1e-4 by 0.5 ns later. The
    // roll-off above 10 GHz only rounds the corner.
    std::vector<double> step(c2.Columns[0].size());
    double sum = 0.0;
    for (size_t i = 0; i < step.size(); ++i)
        step[i] = (sum += c2.Columns[0][i] * 6.25e-12);
    EXPECT_NEAR(step[160 - 32], 0.0, 0.01);
    EXPECT_NEAR(step[160 + 80], 1.0, 0.01);
    EXPECT_NEAR(step[160 + 300], 1.0, 0.01);

    // Options that do not fit, and malformed files: one line, status 2.
    expectOneLineError(host({"--channel", p4, "--fext", "2"}),
                       "Touchstone file '" + p4 + "': --fext pair 2: the file has one differential pair");
    expectOneLineError(host({"--channel", p2, "--port-map", "12_34", "--next", "1"}),
                       "Touchstone file '" + p2 +
                           "': a 2-port file has one line: --through-pair, --fext and --next "
                           "need 4 or more ports");
    expectOneLineError(
        host({"--channel", channelFile(dir, 100), "--fext", "2"}),
        "--port-map, --through-pair, --fext and --next apply to Touchstone channel files only");
    expectOneLineError(host({"--port-map", "14_23"}), "--port-map must be 13_24 or 12_34, got '14_23'");
    expectOneLineError(host({"--channel", p4, "--fext", "2,x"}),
                       "--fext takes a comma-separated list of pair numbers, got '2,x'");
    expectOneLineError(
        host({"--channel", p2, "--sample-interval", "1e-12"}),
        "--sample-interval applies to impulse files; a Touchstone file is sampled at --bit-rate and "
        "--samples-per-bit");
    expectOneLineError(
        host({"--aggressor-file", p2}),
        "--aggressor-file takes impulse files; crosstalk from a Touchstone file comes with --fext and "
        "--next");
    const std::string cut = writeFile(dir, "cut.ts", s4.str().substr(0, s4.str().size() / 2));
    const HostRun rc = host({"--channel", cut});
    EXPECT_EQ(rc.status, 2);
    EXPECT_EQ(rc.out, "");
    EXPECT_EQ(std::count(rc.err.begin(), rc.err.end(), '\n'), 1) << rc.err;
    EXPECT_EQ(rc.err.rfind("ami-host: error: " + cut + ":", 0), 0u) << rc.err;
    const std::string hz = writeFile(dir, "u.s2p", "# THz S RI\n1 0 0 1 0 1 0 0 0\n");
    expectOneLineError(
        host({"--channel", hz}),
        hz + ":1: unknown option 'THz' (the option line takes Hz, kHz, MHz, GHz, S, MA, DB, RI and R n)");
}

TEST(AmiHost, ModelFailureIsReportedWithStatusOne)
{
    const std::string dir = scratchDir();
    const HostRun r = host({"--channel", channelFile(dir, 200), "--bit-rate", "10", "PreEmphasis=20"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(
        r.err,
        "ami-host: note: PreEmphasis=20 lies outside the .ami file's Range; passed to the model as given\n");
    EXPECT_NE(r.out.find("AMI_Init returned 0\n"), std::string::npos);
    EXPECT_NE(r.out.find("  Fake: PreEmphasis out of range\n"), std::string::npos);
    EXPECT_NE(r.out.find("The model reported a failure"), std::string::npos);
}

TEST(AmiHost, AddsCrosstalkColumns)
{
    const std::string dir = scratchDir();
    std::vector<double> h;
    const std::string ch = channelFile(dir, 300, &h);
    const std::string xt = writeFile(dir, "xt.txt", "0 1e8\n6.25e-12 -1e8\n");
    const HostRun r = host({"--channel", ch, "--bit-rate", "10", "--aggressors", "2", "--aggressor-file", xt,
                            "--out", dir + "/o", "--save-channel", dir + "/saved.csv"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("300 rows x 4 columns (3 aggressors)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("crosstalk 3 worst case [mV]"), std::string::npos);
    ChannelData d;
    std::string error;
    ASSERT_TRUE(ChannelFile::Read(dir + "/saved.csv", d, error)) << error;
    ASSERT_EQ(d.Columns.size(), 4u);
    // File crosstalk first (padded with zeros), then the synthetic copies.
    EXPECT_EQ(d.Columns[1][0], 1e8);
    EXPECT_EQ(d.Columns[1][1], -1e8);
    EXPECT_EQ(d.Columns[1][2], 0.0);
    EXPECT_EQ(d.Columns[2], AmiHost::syntheticAggressor(h, 1, 16));
    // Copy k: the through channel / (10 k), 0.37 k bits later (5.92 samples
    // for k = 1: 0.08 of sample n-5 and 0.92 of sample n-6).
    for (size_t n = 6; n < h.size(); ++n)
        ASSERT_NEAR(d.Columns[2][n], 0.1 * (0.08 * h[n - 5] + 0.92 * h[n - 6]), 1e-12 * h[40]) << n;
    for (size_t n = 0; n < h.size(); ++n)
        ASSERT_NEAR(d.Columns[3][n], AmiHost::syntheticAggressor(h, 2, 16)[n], 0.0);
    ASSERT_TRUE(ChannelFile::Read(dir + "/o/impulse.csv", d, error)) << error;
    EXPECT_EQ(d.Columns.size(), 8u);  // in and out of four columns
}

TEST(AmiHost, OneColumnFilesInVoltsPerSecondOrGainPerSample)
{
    const std::string dir = scratchDir();
    const std::string f = writeFile(dir, "g.txt", "0\n0.25\n0.5\n0.25\n0\n0\n0\n0\n");
    for (bool perSample : {false, true}) {
        std::vector<std::string> args = {"--channel",  f,    "--sample-interval", "1e-11",
                                         "--bit-rate", "25", "--save-channel",    dir + "/s.csv"};
        if (perSample)
            args.push_back("--per-sample");
        const HostRun r = host(args);
        ASSERT_EQ(r.status, 0) << r.err;
        ChannelData d;
        std::string error;
        ASSERT_TRUE(ChannelFile::Read(dir + "/s.csv", d, error)) << error;
        EXPECT_EQ(d.SampleInterval, 1e-11);
        ASSERT_EQ(d.Columns[0].size(), 8u);
        EXPECT_EQ(d.Columns[0][1], perSample ? 0.25 / 1e-11 : 0.25);
        EXPECT_NE(r.out.find("sample interval 10 ps, bit time 40 ps (4 samples/bit)"), std::string::npos)
            << r.out;
    }
}

TEST(AmiHost, SweepMarksTheAutoInitChoice)
{
    const std::string dir = scratchDir();
    const HostRun r = host({"--channel", channelFile(dir, 300), "--bit-rate", "10", "--sweep", "--out",
                            dir + "/s", "OutputGain=2"});
    ASSERT_EQ(r.status, 0) << r.err;
    // The stand-in picks state 4 + CornerCase.
    EXPECT_NE(r.out.find("CornerCase 0 (Typical): AutoInit picks 4;"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("CornerCase 2 (Fast): AutoInit picks 6;"), std::string::npos) << r.out;
    std::istringstream csv(readFile(dir + "/s/sweep.csv"));
    std::string line;
    std::getline(csv, line);
    EXPECT_EQ(line,
              "CornerCase,PreEmphasis,ami_init_return,main_cursor_V,eye_height_V,eye_width_UI,autoinit_pick");
    size_t rows = 0;
    while (std::getline(csv, line)) {
        const std::vector<std::string> f = ChannelFile::fields(line);
        ASSERT_EQ(f.size(), 7u) << line;
        const int corner = static_cast<int>(rows / 16), state = static_cast<int>(rows % 16);
        EXPECT_EQ(f[0], std::to_string(corner));
        EXPECT_EQ(f[1], std::to_string(state));
        EXPECT_EQ(f[2], "1");  // every call succeeded
        EXPECT_EQ(f[6], state == 4 + corner ? "1" : "0") << line;
        // OutputGain 2 doubles the channel's main cursor (about 0.5 V) at state 0.
        if (state == 0) {
            EXPECT_GT(std::stod(f[3]), 0.9) << line;
        }
        ++rows;
    }
    EXPECT_EQ(rows, 3u * 16u);
    // The table marks exactly one state per corner (plus the legend's '*').
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '*'), 3 + 1);
}

TEST(AmiHost, ChosenStateIsReadFromTheMessage)
{
    EXPECT_EQ(AmiHost::chosenState("x\nOptimization ... with PreEmphasis state = 11\n"), 11);
    EXPECT_EQ(AmiHost::chosenState("The selected PreEmphasis state = 5\n"), 5);
    EXPECT_EQ(AmiHost::chosenState("PreEmphasis state = 1\nPreEmphasis state = 12"), 12);
    EXPECT_EQ(AmiHost::chosenState("PreEmphasis state = \n"), -1);
    EXPECT_EQ(AmiHost::chosenState(""), -1);
}

TEST(AmiHost, HelpAndDefaults)
{
    const HostRun r = host({"--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, AmiHost::usage());
    HostOptions o;
    std::string error;
    ASSERT_TRUE(AmiHost::parseArguments({"A=1", "--bit-rate=25", "B==2", "--plot", "--out", "d"}, o, error))
        << error;
    EXPECT_EQ(o.BitRate, 25e9);
    EXPECT_EQ(o.Overrides, (std::vector<std::pair<std::string, std::string>>{{"A", "1"}, {"B", "=2"}}));
    HostChannel ch;
    ASSERT_TRUE(AmiHost::buildChannel(HostOptions(), ch, error)) << error;
    EXPECT_EQ(ch.SamplesPerBit, 32);
    EXPECT_EQ(ch.Columns.size(), 1u);
    EXPECT_EQ(ch.Columns[0].size(), 8192u);
    EXPECT_DOUBLE_EQ(ch.BitTime, 1.0 / 12.8e9);
}

#if !defined(_WIN32)
// The executable itself: exit status and stderr for bad input, run as a
// separate process so that a crash would show.
TEST(AmiHostProgram, ExitStatusAndSingleErrorLine)
{
    const std::string dir = scratchDir();
    const std::string bad = writeFile(dir, "bad.txt", "0 1\n1e-12 x\n");
    struct Case {
        std::string args;
        int status;
        std::string firstLine;
    };
    const std::vector<Case> cases = {
        {"--channel '" + bad + "'", 2, "ami-host: error: " + bad + ":2: malformed number 'x'"},
        {"Foo=1", 2,
         "ami-host: error: unknown parameter 'Foo' (parameters of FakeTx: AutoInit, PreEmphasis, "
         "CornerCase, OutputGain)"},
        {"--channel /nonexistent/c.csv", 2, "ami-host: error: cannot open channel file '/nonexistent/c.csv'"},
        {"--length nope", 2, "ami-host: error: malformed number 'nope' for --length"},
        {"--help", 0, ""},
    };
    for (const Case& c : cases) {
        const std::string cmd = std::string("'") + AMIHOST_EXE + "' --model '" + FAKE_MODEL + "' --ami '" +
                                FAKE_AMI + "' " + c.args + " > '" + dir + "/out.txt' 2> '" + dir +
                                "/err.txt'";
        const int raw = std::system(cmd.c_str());
        ASSERT_TRUE(WIFEXITED(raw)) << c.args;
        EXPECT_EQ(WEXITSTATUS(raw), c.status) << c.args;
        const std::string err = readFile(dir + "/err.txt");
        EXPECT_EQ(err, c.firstLine.empty() ? "" : c.firstLine + "\n") << c.args;
    }
}
#endif

// The real model on the embedded channel: pre-emphasis must matter there.
TEST(AmiHostWithModel, EmbeddedChannelNeedsPreEmphasis)
{
    if (!std::filesystem::exists(MODEL_LIBRARY))
        GTEST_SKIP() << "model library not built";
    const std::string dir = scratchDir();
    const HostRun automatic = host({"--out", dir + "/auto"}, false);
    ASSERT_EQ(automatic.status, 0) << automatic.err << automatic.out;
    const long state = AmiHost::chosenState(readFile(dir + "/auto/message.txt"));
    EXPECT_GE(state, 5);
    EXPECT_LE(state, 14);
    EXPECT_NE(automatic.out.find("(chosen by AutoInit)"), std::string::npos);
    EXPECT_NE(automatic.out.find("  eye                                   open      open\n"),
              std::string::npos)
        << automatic.out;

    const HostRun none = host({"AutoInit=0", "PreEmphasis=0"}, false);
    ASSERT_EQ(none.status, 0) << none.err;
    EXPECT_NE(none.out.find("  eye                                   open    closed\n"), std::string::npos)
        << none.out;
    const HostRun mid = host({"AutoInit=0", "PreEmphasis=7"}, false);
    EXPECT_NE(mid.out.find("  eye                                   open      open\n"), std::string::npos)
        << mid.out;
}

TEST(AmiHostWithModel, PlotsArePngFiles)
{
    if (!std::filesystem::exists(MODEL_LIBRARY))
        GTEST_SKIP() << "model library not built";
    if (std::system("gnuplot --version > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "gnuplot not installed";
    const std::string dir = scratchDir();
    const HostRun r = host({"--out", dir, "--plot", "--aggressors", "1"}, false);
    ASSERT_EQ(r.status, 0) << r.err;
    const HostRun sweep =
        host({"--channel", channelFile(dir, 300), "--bit-rate", "10", "--sweep", "--out", dir, "--plot"});
    ASSERT_EQ(sweep.status, 0) << sweep.err;
    for (const char* png : {"/pulse.png", "/eye.png", "/sweep.png"}) {
        const std::string data = readFile(dir + png);
        ASSERT_GT(data.size(), 1000u) << png;
        EXPECT_EQ(data.substr(1, 3), "PNG") << png;
    }
}
