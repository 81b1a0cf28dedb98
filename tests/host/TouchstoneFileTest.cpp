// Touchstone reading: hand-written files whose values are known, in every
// format, unit and layout, and malformed files with their exact error lines.
#include <gtest/gtest.h>

#include <cmath>

#include "tests/host/HostTestFiles.h"
#include "tools/ami-host/TouchstoneFile.h"

using namespace amihost;
using hosttest::scratchDir;
using hosttest::writeFile;

namespace {

const double kPi = 3.14159265358979323846;

void expectNear(std::complex<double> got, std::complex<double> want, double tol = 1e-12)
{
    EXPECT_NEAR(got.real(), want.real(), tol) << got << " vs " << want;
    EXPECT_NEAR(got.imag(), want.imag(), tol) << got << " vs " << want;
}

std::string parseError(const std::string& text, int ports = 2)
{
    TouchstoneNetwork net;
    std::string error;
    EXPECT_FALSE(TouchstoneFile::Parse(text, "f.s" + std::to_string(ports) + "p", ports, net, error));
    return error;
}

}  // namespace

TEST(TouchstoneFile, TwoPortVersion1InEveryFormatAndUnit)
{
    // The same network, S11 = 0.5, S21 = 0.8 at -90 deg, S12 = 0.8 at -90 deg,
    // S22 = 0.25 at 180 deg, at 1 and 2 GHz, written three ways.
    const std::complex<double> s11(0.5, 0), s21(0, -0.8), s22(-0.25, 0);
    const std::string ma = "! comment\n# GHz S MA R 50\n1 0.5 0 0.8 -90 0.8 -90 0.25 180 ! trailing\n"
                           "2 0.5 0 0.8 -90 0.8 -90 0.25 180\n";
    const std::string db = "#mhz s db r 75\n"
                           "1000 -6.020599913279624 0 -1.9382002601611283 -90 -1.9382002601611283 -90 "
                           "-12.041199826559248 180\n"
                           "2000 -6.020599913279624 0 -1.9382002601611283 -90 -1.9382002601611283 -90 "
                           "-12.041199826559248 180\n";
    const std::string ri = "# Hz RI\n1e9 0.5 0 0 -0.8 0 -0.8 -0.25 0\n2e9\t0.5 0 0 -0.8 0 -0.8 -0.25 0\r\n";
    for (const std::string& text : {ma, db, ri}) {
        SCOPED_TRACE(text.substr(0, 16));
        TouchstoneNetwork net;
        std::string error;
        ASSERT_TRUE(TouchstoneFile::Parse(text, "a.s2p", 2, net, error)) << error;
        EXPECT_EQ(net.Ports, 2);
        EXPECT_EQ(net.Version, "1.x");
        ASSERT_EQ(net.Frequencies, (std::vector<double>{1e9, 2e9}));
        for (size_t k = 0; k < 2; ++k) {
            expectNear(net.at(k, 0, 0), s11);
            expectNear(net.at(k, 1, 0), s21);
            expectNear(net.at(k, 0, 1), s21);
            expectNear(net.at(k, 1, 1), s22);
        }
    }
    TouchstoneNetwork net;
    std::string error;
    ASSERT_TRUE(TouchstoneFile::Parse(db, "a.s2p", 2, net, error));
    EXPECT_EQ(net.Reference, (std::vector<double>{75, 75}));
    EXPECT_EQ(net.Format, "DB");
    EXPECT_EQ(net.FrequencyUnit, "MHz");
    // No option line: GHz, MA, 50 ohm.
    ASSERT_TRUE(TouchstoneFile::Parse("3 1 0 0.5 45 0.5 45 1 0\n", "d.s2p", 2, net, error)) << error;
    EXPECT_EQ(net.Frequencies, (std::vector<double>{3e9}));
    expectNear(net.at(0, 1, 0), std::polar(0.5, kPi / 4));
    EXPECT_EQ(net.Reference, (std::vector<double>{50, 50}));
    // Noise parameters after the network data (frequency back at or below
    // the last one, five values) are not network data.
    ASSERT_TRUE(
        TouchstoneFile::Parse(ma + "! noise\n1 2.5 0.3 40 0.2\n2 2.7 0.3 45 0.2\n", "n.s2p", 2, net, error))
        << error;
    EXPECT_EQ(net.Frequencies, (std::vector<double>{1e9, 2e9}));
    // Five values at a higher frequency are a short network line.
    EXPECT_FALSE(TouchstoneFile::Parse(ma + "3 2.5 0.3 40 0.2\n", "n.s2p", 2, net, error));
    EXPECT_EQ(error, "n.s2p:5: 4 values at frequency 3 GHz where 2 ports need 8 (wrong port count or missing "
                     "values)");
}

TEST(TouchstoneFile, FourPortRowsWrappedOverLinesAndVersion2Layouts)
{
    // S(i,j) = (i + j/10) at 10*i + j degrees, written row by row, four pairs
    // to a line, as 4-port files are.
    auto value = [](int i, int j) { return std::polar(i + j / 10.0, (10.0 * i + j) * kPi / 180.0); };
    std::string v1 = "# kHz S MA R 50\n";
    for (int f = 1; f <= 3; ++f) {
        v1 += std::to_string(f * 1000);
        for (int i = 1; i <= 4; ++i) {
            for (int j = 1; j <= 4; ++j)
                v1 += " " + std::to_string(i + j / 10.0) + " " + std::to_string(10 * i + j);
            v1 += "\n";
        }
    }
    TouchstoneNetwork net;
    std::string error;
    ASSERT_TRUE(TouchstoneFile::Parse(v1, "x.s4p", 4, net, error)) << error;
    ASSERT_EQ(net.Frequencies, (std::vector<double>{1e6, 2e6, 3e6}));
    for (int i = 1; i <= 4; ++i)
        for (int j = 1; j <= 4; ++j)
            expectNear(net.at(2, i - 1, j - 1), value(i, j), 1e-9);

    // A .ts file in 1.x syntax: the port count comes from the data.
    ASSERT_TRUE(TouchstoneFile::Parse(v1, "x.ts", 0, net, error)) << error;
    EXPECT_EQ(net.Ports, 4);

    // Version 2.0, one frequency per line, lower triangle, per-port references.
    std::string v2 = "[Version] 2.0\n# GHz S RI R 50\n[Number of Ports] 4\n[Number of Frequencies] 2\n"
                     "[Reference] 50 50\n  60 60\n[Matrix Format] Lower\n"
                     "[Begin Information]\nanything [here]\n[End Information]\n[Network Data]\n";
    for (int f = 1; f <= 2; ++f) {
        v2 += std::to_string(f);
        for (int i = 1; i <= 4; ++i)
            for (int j = 1; j <= i; ++j)
                v2 += " " + std::to_string(i) + " " + std::to_string(j * f);
        v2 += "\n";
    }
    v2 += "[End]\n";
    ASSERT_TRUE(TouchstoneFile::Parse(v2, "y.ts", 0, net, error)) << error;
    EXPECT_EQ(net.Version, "2.0");
    EXPECT_EQ(net.Reference, (std::vector<double>{50, 50, 60, 60}));
    ASSERT_EQ(net.Frequencies.size(), 2u);
    expectNear(net.at(1, 3, 1), std::complex<double>(4, 4));
    expectNear(net.at(1, 1, 3), std::complex<double>(4, 4));  // mirrored
    expectNear(net.at(0, 2, 2), std::complex<double>(3, 3));
}

TEST(TouchstoneFile, TwoPortDataOrderOfVersion2)
{
    const std::string head = "[Version] 2.0\n# Hz S RI\n[Number of Ports] 2\n[Two-Port Data Order] ";
    const std::string rest = "\n[Number of Frequencies] 1\n[Network Data]\n5 11 0 12 0 21 0 22 0\n"
                             "[Noise Data]\n5 1 0 0 1\n[End]\n";
    TouchstoneNetwork net;
    std::string error;
    ASSERT_TRUE(TouchstoneFile::Parse(head + "12_21" + rest, "a.s2p", 2, net, error)) << error;
    EXPECT_EQ(net.at(0, 0, 1), std::complex<double>(12, 0));
    EXPECT_EQ(net.at(0, 1, 0), std::complex<double>(21, 0));
    ASSERT_TRUE(TouchstoneFile::Parse(head + "21_12" + rest, "a.s2p", 2, net, error)) << error;
    EXPECT_EQ(net.at(0, 0, 1), std::complex<double>(21, 0));
    EXPECT_EQ(net.at(0, 1, 0), std::complex<double>(12, 0));
}

TEST(TouchstoneFile, MalformedFilesGiveOneLineNamingFileAndLine)
{
    const std::string ok2 = "1 0.5 0 0.8 -90 0.8 -90 0.25 180\n";
    EXPECT_EQ(
        parseError("# GHz S MA R 50\n" + ok2 + "2 0.5 0 0.8 -90 0.8 -90 0.25\n"),
        "f.s2p:3: 8 numbers where a frequency line needs an odd count (a value missing, or a wrong port count)");
    EXPECT_EQ(parseError("# GHz S MA\n1 0.5 0 0.8 -90 0.8 -90\n2 0.5 0 0.8 -90 0.8 -90 0.25 180\n"),
              "f.s2p:2: 6 values at frequency 1 GHz where 2 ports need 8 (wrong port count or missing "
              "values)");
    EXPECT_EQ(parseError("# GHz S MA\n" + ok2 + "1 0.5 0 0.8 -90 0.8 -90 0.25 180\n"),
              "f.s2p:3: frequency 1 GHz does not increase (previous 1 GHz)");
    EXPECT_EQ(parseError("# GHz S MA\n2 0.5 0 0.8 -90 0.8 -90 0.25 180\n" + ok2),
              "f.s2p:3: frequency 1 GHz does not increase (previous 2 GHz)");
    EXPECT_EQ(parseError("# THz S MA\n" + ok2),
              "f.s2p:1: unknown option 'THz' (the option line takes Hz, kHz, "
              "MHz, GHz, S, MA, DB, RI and R n)");
    EXPECT_EQ(parseError("# GHz S XY\n" + ok2),
              "f.s2p:1: unknown option 'XY' (the option line takes Hz, kHz, "
              "MHz, GHz, S, MA, DB, RI and R n)");
    EXPECT_EQ(parseError("# GHz Z MA\n" + ok2), "f.s2p:1: only S-parameters are read; the option line gives "
                                                "Z-parameters");
    EXPECT_EQ(parseError("# GHz S MA R\n" + ok2), "f.s2p:1: option R needs a reference impedance");
    EXPECT_EQ(parseError("# GHz S MA\n1 0.5 0 0.8 -90 0.8 x 0.25 180\n"), "f.s2p:2: malformed number 'x'");
    EXPECT_EQ(parseError("# GHz S MA\n1 0.5 0 0.8 -90 0.8 nan 0.25 180\n"),
              "f.s2p:2: 'nan' is not a finite number");
    EXPECT_EQ(parseError("# GHz S MA\n-1 0.5 0 0.8 -90 0.8 -90 0.25 180\n"),
              "f.s2p:2: negative frequency -1 GHz");
    EXPECT_EQ(parseError("! only a comment\n# GHz S MA\n"), "f.s2p:2: no network data");
    // A 2-port file named .s4p: a wrong port count.
    EXPECT_EQ(parseError("# GHz S MA\n" + ok2 + "2 0.5 0 0.8 -90 0.8 -90 0.25 180\n", 4),
              "f.s4p:2: 8 values at frequency 1 GHz where 4 ports need 32 (wrong port count or missing "
              "values)");
    // A 4-port row set with one value too many on its last line.
    std::string four = "# GHz S RI\n1";
    for (int i = 0; i < 4; ++i)
        four += " 1 0 1 0 1 0 1 0\n";
    four.insert(four.size() - 1, " 7 7");
    EXPECT_EQ(parseError(four, 4), "f.s4p:5: more than 32 values at frequency 1 GHz (4 ports)");

    const std::string v2 = "[Version] 2.0\n# GHz S MA\n[Number of Ports] 2\n[Two-Port Data Order] 21_12\n";
    EXPECT_EQ(parseError(v2 + "[Number of Frequencies] 2\n[Network Data]\n" + ok2 + "[End]\n"),
              "f.s2p:8: [Number of Frequencies] is 2 but the data holds 1");
    EXPECT_EQ(parseError(v2 + "[Number of Frequencies] 1\n[Network Data]\n" + ok2),
              "f.s2p:7: missing [End] (the file may be cut short)");
    EXPECT_EQ(
        parseError(v2 + "[Number of Frequencies] 1\n[Network Data]\n" + ok2 + "2 1 0 1 0 1 0 1 0\n[End]\n"),
        "f.s2p:8: more frequencies than [Number of Frequencies] 1");
    EXPECT_EQ(parseError(v2 + "[Number of Frequencies] 1\n[Colour] blue\n"),
              "f.s2p:6: unknown keyword [Colour]");
    EXPECT_EQ(parseError("[Version] 2.0\n# GHz S MA\n[Number of Ports] 2\n[Number of Frequencies] 1\n"
                         "[Network Data]\n"),
              "f.s2p:5: a 2-port file needs [Two-Port Data Order] before [Network Data]");
    EXPECT_EQ(parseError("[Version] 2.0\n# GHz S MA\n[Number of Ports] 4\n"),
              "f.s2p:3: [Number of Ports] 4 but the file name says 2 ports");
    EXPECT_EQ(parseError("[Version] 3.0\n"),
              "f.s2p:1: Touchstone version '3.0' is not read (2.0 and 2.1 are)");
    EXPECT_EQ(parseError("# GHz S MA\n[Number of Ports] 2\n"),
              "f.s2p:2: keyword [Number of Ports] before [Version] (a Touchstone 1.x file has none)");
    EXPECT_EQ(parseError(v2 + "[Number of Frequencies] 1\n[Reference] 50\n[Network Data]\n"),
              "f.s2p:7: [Reference] gives 1 impedances for 2 ports");
    // The header ends at [Network Data]: impedances or a port count given
    // later would not match the records already read.
    const std::string header = v2 + "[Number of Frequencies] 2\n[Reference] 50 50\n";
    EXPECT_EQ(parseError(header + "[Network Data]\n" + ok2 + "[Reference] 50 50\n2 1 0 1 0 1 0 1 0\n[End]\n"),
              "f.s2p:9: [Reference] inside [Network Data]");
    EXPECT_EQ(parseError(header + "[Network Data]\n[Number of Ports] 2\n"),
              "f.s2p:8: [Number of Ports] inside [Network Data]");
    EXPECT_EQ(parseError(header + "[Network Data]\n" + ok2 + "[Matrix Format] Lower\n"),
              "f.s2p:9: [Matrix Format] inside [Network Data]");
    EXPECT_EQ(parseError(header + "[Network Data]\n[Network Data]\n"),
              "f.s2p:8: [Network Data] inside [Network Data]");
    EXPECT_EQ(parseError(header + "[Reference] 50\n"), "f.s2p:7: a second [Reference]");
    // After the noise data the keywords are skipped, as before.
    TouchstoneNetwork noisy;
    std::string noisyError;
    EXPECT_TRUE(TouchstoneFile::Parse(header + "[Number of Noise Frequencies] 1\n[Network Data]\n" + ok2 +
                                          "2 0.5 0 0.8 -90 0.8 -90 0.25 180\n[Noise Data]\n[Reference] 75\n"
                                          "1 2 0.5 0 10\n[End]\n",
                                      "f.s2p", 2, noisy, noisyError))
        << noisyError;
    EXPECT_EQ(noisy.Reference, std::vector<double>({50.0, 50.0}));
    EXPECT_EQ(parseError(v2 + "[Mixed-Mode Order] D2,1 D1,1\n"),
              "f.s2p:5: mixed-mode data ([Mixed-Mode Order]) is not read; give single-ended S-parameters");
    EXPECT_EQ(parseError(v2 + "[Number of Frequencies] 1\n[Network Data]\n" + ok2 + "[End]\n1 2\n"),
              "f.s2p:9: text after [End]");
    EXPECT_EQ(parseError(v2 + "[Number of Frequencies] x\n"),
              "f.s2p:5: [Number of Frequencies] needs one whole number from 1 to 100000000, got 'x'");
    EXPECT_EQ(parseError("1 0 0 0 0 0 0\n", 0),
              "f.s0p:1: 6 values at the first frequency: no port count has that many");
}

TEST(TouchstoneFile, ReadsFilesAndRecognisesNames)
{
    EXPECT_EQ(TouchstoneFile::portsFromExtension("a/b.s4p"), 4);
    EXPECT_EQ(TouchstoneFile::portsFromExtension("B.S16P"), 16);
    EXPECT_EQ(TouchstoneFile::portsFromExtension("x.ts"), 0);
    EXPECT_EQ(TouchstoneFile::portsFromExtension("x.sp"), 0);
    EXPECT_EQ(TouchstoneFile::portsFromExtension("x.s4p.csv"), 0);
    EXPECT_EQ(TouchstoneFile::portsFromExtension("dir.s4p/x"), 0);
    EXPECT_TRUE(TouchstoneFile::isTouchstonePath("x.TS"));
    EXPECT_TRUE(TouchstoneFile::isTouchstonePath("x.s2p"));
    EXPECT_FALSE(TouchstoneFile::isTouchstonePath("x.csv"));
    EXPECT_FALSE(TouchstoneFile::isTouchstonePath("s2p"));

    const std::string dir = scratchDir();
    TouchstoneNetwork net;
    std::string error;
    const std::string bad = writeFile(dir, "bad.s2p", "# GHz S MA\n1 1 0 1 0 1 0\n");
    EXPECT_FALSE(TouchstoneFile::Read(bad, net, error));
    EXPECT_EQ(error, bad + ":2: 6 values at frequency 1 GHz where 2 ports need 8 (wrong port count or "
                           "missing values)");
    EXPECT_FALSE(TouchstoneFile::Read(dir + "/none.s2p", net, error));
    EXPECT_EQ(error, "cannot open Touchstone file '" + dir + "/none.s2p'");
    EXPECT_FALSE(TouchstoneFile::Read(dir + "/x.s100p", net, error));
    EXPECT_EQ(error, "Touchstone file '" + dir + "/x.s100p': 100 ports are more than the 64 this host reads");
    const std::string good = writeFile(dir, "good.s2p", "# GHz S RI\n1 1 0 0.5 0.5 0.5 0.5 1 0\n");
    ASSERT_TRUE(TouchstoneFile::Read(good, net, error)) << error;
    EXPECT_EQ(net.at(0, 1, 0), std::complex<double>(0.5, 0.5));
}
