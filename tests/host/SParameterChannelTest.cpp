// From S-parameters to impulse columns: networks whose impulse is known (the
// embedded lossy stripline, LossyChannel, whose impulse LossyChannel::Build
// synthesises on its own 16-times-longer grid) written as Touchstone files in
// several versions, formats and units, with and without a 0 Hz point, read
// back and compared with that impulse.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>

#include "tests/host/HostTestFiles.h"
#include "tools/ami-host/LossyChannel.h"
#include "tools/ami-host/NumberText.h"
#include "tools/ami-host/SParameterChannel.h"
#include "tools/ami-host/TouchstoneFile.h"

using namespace amihost;
using hosttest::scratchDir;
using hosttest::writeFile;

namespace {

const double kPi = 3.14159265358979323846;
typedef std::function<std::complex<double>(double f, int i, int j)> Matrix;  // 1-based ports

struct Layout {
    int Version = 1;
    std::string Unit = "GHz";
    std::string Format = "MA";
    bool Order12 = false;  // version 2, 2 ports: 12_21
};

std::string num(double v)
{
    char b[40];
    std::snprintf(b, sizeof b, "%.15g", v);
    return b;
}

// The network as Touchstone text: 2-port pairs in the order the layout
// says, larger matrices row by row, four pairs to a line.
std::string touchstone(int ports, const std::vector<double>& freqs, const Matrix& s, const Layout& l)
{
    const double unit = l.Unit == "Hz" ? 1 : l.Unit == "kHz" ? 1e3 : l.Unit == "MHz" ? 1e6 : 1e9;
    std::string t = "! written by the test\n";
    if (l.Version == 2) {
        t += "[Version] 2.0\n# " + l.Unit + " S " + l.Format + " R 50\n[Number of Ports] " +
             std::to_string(ports) + "\n";
        if (ports == 2)
            t += std::string("[Two-Port Data Order] ") + (l.Order12 ? "12_21" : "21_12") + "\n";
        t += "[Number of Frequencies] " + std::to_string(freqs.size()) + "\n[Network Data]\n";
    } else {
        t += "# " + l.Unit + " S " + l.Format + " R 50\n";
    }
    for (double f : freqs) {
        std::vector<std::pair<int, int>> order;
        if (ports == 2 && !(l.Version == 2 && l.Order12))
            order = {{1, 1}, {2, 1}, {1, 2}, {2, 2}};
        else
            for (int i = 1; i <= ports; ++i)
                for (int j = 1; j <= ports; ++j)
                    order.push_back({i, j});
        t += num(f / unit);
        for (size_t k = 0; k < order.size(); ++k) {
            const std::complex<double> v = s(f, order[k].first, order[k].second);
            if (l.Format == "RI")
                t += " " + num(v.real()) + " " + num(v.imag());
            else if (l.Format == "MA")
                t += " " + num(std::abs(v)) + " " + num(std::arg(v) * 180 / kPi);
            else
                t += " " + num(20 * std::log10(std::abs(v))) + " " + num(std::arg(v) * 180 / kPi);
            if (ports > 2 && k % 4 == 3)
                t += "\n";
        }
        if (ports == 2)
            t += "\n";
    }
    if (l.Version == 2)
        t += "[End]\n";
    return t;
}

std::vector<double> grid(double step, double last, bool withDc)
{
    std::vector<double> f;
    for (int k = withDc ? 0 : 1; k * step <= last * (1 + 1e-12); ++k)
        f.push_back(k * step);
    return f;
}

struct Reference {
    LossyChannel Line;
    std::vector<double> Impulse;
    double Dt = 0;
    double Peak = 0;
    Reference()
    {
        std::string error;
        EXPECT_TRUE(Line.Build(Impulse, Dt, error)) << error;
        for (double v : Impulse)
            Peak = std::max(Peak, std::fabs(v));
    }
    std::complex<double> H(double f, double delay = 0.0) const
    {
        return Line.transfer(f) * std::polar(1.0, -2 * kPi * f * delay);
    }
};

const Reference& reference()
{
    static const Reference r;
    return r;
}

// Largest |got[i] - scale * ref[i - shift]| over the reference's record,
// relative to the reference's peak.
double relativeError(const std::vector<double>& got, double scale = 1.0, long shift = 0)
{
    const Reference& r = reference();
    double worst = 0.0;
    const long n = static_cast<long>(r.Impulse.size());
    EXPECT_GE(got.size(), r.Impulse.size());
    for (long i = 0; i < n && i < static_cast<long>(got.size()); ++i) {
        const double want = i - shift >= 0 ? scale * r.Impulse[static_cast<size_t>(i - shift)] : 0.0;
        worst = std::max(worst, std::fabs(got[static_cast<size_t>(i)] - want));
    }
    return worst / r.Peak;
}

bool build(const std::string& path, SParameterChannel sp, std::vector<std::vector<double>>& columns,
           std::vector<std::string>& summary)
{
    TouchstoneNetwork net;
    std::string error;
    if (!TouchstoneFile::Read(path, net, error)) {
        ADD_FAILURE() << error;
        return false;
    }
    if (!sp.Build(net, path, reference().Dt, columns, summary, error)) {
        ADD_FAILURE() << error;
        return false;
    }
    return true;
}

std::string line(const std::vector<std::string>& summary, const std::string& start)
{
    for (const std::string& s : summary)
        if (s.rfind(start, 0) == 0)
            return s;
    return "(no line starting '" + start + "')";
}

// Tolerance of the round trip, relative to the impulse's peak. The files hold
// the line from 20 MHz to 50 GHz in 20 MHz steps. Three things separate the
// read-back impulse from the synthesised one:
//  * the band: the file ends at 50 GHz, where the line loses 65.6 dB
//    (|H| = 5.2e-4); what lies above is dropped and the roll-off puts a
//    fading copy of the last point there instead. This is nearly all of the
//    difference: 2.0e-4 of the peak without a 0 Hz point, 2.3e-4 with one.
//    (Twice the integral of the changed |H|, a bound that ignores how
//    smoothly the change falls off, would allow 2.3e-3.)
//  * linear interpolation of magnitude and phase between 20 MHz points,
//    below 6e-4 in |H| at 25 MHz and falling as 1/f (see the roll-off test):
//    twice its sum over the grid times the bin width bounds its share of any
//    sample at 8e-6 of the peak (9.1e9 V/s);
//  * the 0 Hz point when extrapolated: its 1% error spans only the bins
//    below the first point, at most 5e-5 of the peak by the same bound.
// 1e-3 keeps a margin of 4 over that, while an error in the port order, the
// data order, the unit or the format moves samples by 10% of the peak or more.
const double kRoundTripTolerance = 1e-3;

}  // namespace

TEST(SParameterChannel, TwoPortFilesRoundTripToTheStriplineImpulse)
{
    const Reference& r = reference();
    const std::string dir = scratchDir();
    struct Case {
        Layout layout;
        bool dc;
        const char* name;
    } cases[] = {
        {{1, "GHz", "MA", false}, false, "a.s2p"}, {{1, "MHz", "DB", false}, true, "b.s2p"},
        {{1, "Hz", "RI", false}, false, "c.S2P"},  {{1, "kHz", "MA", false}, true, "d.s2p"},
        {{2, "GHz", "DB", true}, false, "e.ts"},   {{2, "MHz", "RI", false}, true, "f.s2p"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<double> f = grid(20e6, 50e9, c.dc);
        const Matrix s = [&](double fr, int i, int j) {
            return i == j ? std::complex<double>(0.05, 0.01) : r.H(fr);  // reflections are not used
        };
        const std::string path = writeFile(dir, c.name, touchstone(2, f, s, c.layout));
        std::vector<std::vector<double>> cols;
        std::vector<std::string> summary;
        ASSERT_TRUE(build(path, SParameterChannel(), cols, summary));
        ASSERT_EQ(cols.size(), 1u);
        EXPECT_LT(relativeError(cols[0]), kRoundTripTolerance);
        EXPECT_EQ(line(summary, "through"), "through: S21 (port 1 -> port 2)");
        // The DC point: 1 from the file, else 2 |H(f1)| - |H(f2)| (the line
        // through the two lowest points), 0.9866 for this line.
        const double extrapolated = 2 * std::abs(r.H(20e6)) - std::abs(r.H(40e6));
        EXPECT_EQ(
            line(summary, "0 Hz"),
            c.dc
                ? std::string("0 Hz: point in the file, H(0) = 1.0000 (through)")
                : "0 Hz: no point in the file; added by linear extrapolation from 20 MHz and 40 MHz: H(0) = " +
                      NumberText::fixed(extrapolated, 4) + " (through)");
        EXPECT_EQ(
            line(summary, "band edge"),
            "band edge: data ends at 50 GHz; raised-cosine roll-off to 0 at 62.5 GHz (grid Nyquist 204.8 GHz)");
        EXPECT_EQ(line(summary, "impulse"),
                  "impulse: 16384 samples of a 32768-point inverse FFT (frequency step 12.5 MHz)");
        // The largest |S| is the through term at the lowest frequency (S12 = S21).
        EXPECT_EQ(line(summary, "passivity"),
                  c.dc ? "passivity: no |S| > 1 (largest |S12| = 1.0000 at 0 Hz)"
                       : "passivity: no |S| > 1 (largest |S12| = 0.9747 at 20 MHz)");
    }
}

TEST(SParameterChannel, DelayedLineUnwrapsItsPhase)
{
    // 1.46 ns of delay turns the phase through 460 turns up to 50 GHz; the
    // impulse must arrive 600 samples late and otherwise unchanged.
    const Reference& r = reference();
    const double delay = 600 * r.Dt;
    const std::string dir = scratchDir();
    for (bool dc : {false, true}) {
        const Matrix s = [&](double f, int i, int j) {
            return i == j ? std::complex<double>(0, 0) : r.H(f, delay);
        };
        const std::string path =
            writeFile(dir, dc ? "dc.s2p" : "nodc.s2p", touchstone(2, grid(20e6, 50e9, dc), s, {}));
        std::vector<std::vector<double>> cols;
        std::vector<std::string> summary;
        ASSERT_TRUE(build(path, SParameterChannel(), cols, summary));
        EXPECT_LT(relativeError(cols[0], 1.0, 600), kRoundTripTolerance) << dc;
        // Nothing arrives before the delay: the energy ahead of the response
        // is that of the causal line's own slow start.
        // (below 0.01%)
        EXPECT_EQ(line(summary, "causality").substr(0, 49),
                  "causality: energy ahead of the main response 0.00");
    }
}

namespace {

// A 4-port pair of coupled lines whose SDD21 is the stripline H: each line
// passes H + X, the far end couples X across (S(o+, d-) = S(o-, d+) = X), so
// (T - X - X + T) / 2 = H while no single-ended term equals H. in[k], out[k]
// are the ports of line k (0 or 1).
Matrix coupledPair(const int in[2], const int out[2])
{
    return [in, out](double f, int i, int j) {
        const Reference& r = reference();
        const std::complex<double> x = 0.2 * r.H(f, 30 * r.Dt);
        auto lineOf = [&](int port, bool& isIn) {
            for (int k = 0; k < 2; ++k) {
                if (in[k] == port) {
                    isIn = true;
                    return k;
                }
                if (out[k] == port) {
                    isIn = false;
                    return k;
                }
            }
            return -1;
        };
        bool ii = false, ji = false;
        const int li = lineOf(i, ii), lj = lineOf(j, ji);
        if (i == j)
            return std::complex<double>(0.05, 0.0);
        if (ii == ji)
            return 0.01 * r.H(f, 10 * r.Dt);  // near-end coupling, not part of SDD21
        return li == lj ? r.H(f) + x : x;
    };
}

}  // namespace

TEST(SParameterChannel, FourPortSdd21WithBothPortNumberings)
{
    const std::string dir = scratchDir();
    static const int in1324[2] = {1, 2}, out1324[2] = {3, 4};
    static const int in1234[2] = {1, 3}, out1234[2] = {2, 4};
    const std::vector<double> f = grid(20e6, 50e9, false);
    const std::string a = writeFile(dir, "a.s4p", touchstone(4, f, coupledPair(in1324, out1324), {}));
    const std::string b =
        writeFile(dir, "b.s4p", touchstone(4, f, coupledPair(in1234, out1234), {2, "MHz", "RI", false}));
    std::vector<std::vector<double>> cols;
    std::vector<std::string> summary;
    SParameterChannel sp;  // default: 13_24
    ASSERT_TRUE(build(a, sp, cols, summary));
    EXPECT_LT(relativeError(cols[0]), kRoundTripTolerance);
    EXPECT_EQ(line(summary, "through"), "through: SDD21 of pair 1 (lines 1->3 and 2->4; --port-map 13_24)");
    // The other numbering read with the default map is another response.
    ASSERT_TRUE(build(b, sp, cols, summary));
    EXPECT_GT(relativeError(cols[0]), 0.1);
    sp.PortMap = "12_34";
    ASSERT_TRUE(build(b, sp, cols, summary));
    EXPECT_LT(relativeError(cols[0]), kRoundTripTolerance);
    EXPECT_EQ(line(summary, "through"), "through: SDD21 of pair 1 (lines 1->2 and 3->4; --port-map 12_34)");
    EXPECT_EQ(line(summary, "Touchstone"),
              "Touchstone 2.0, 4 ports, 2500 frequencies from 20 MHz to 50 GHz (MHz, RI), reference 50 ohm");
}

TEST(SParameterChannel, EightPortThroughPairWithFarAndNearEndCrosstalk)
{
    // Lines 1..4 from ports 1..4 to ports 5..8; pair 1 = lines 1, 2 (the
    // victim), pair 2 = lines 3, 4. Aggressor pair 2 reaches pair 1's outputs
    // with differential FEXT 0.1 h(t - 40 dt) and NEXT -0.05 h(t - 80 dt);
    // each is split into single-ended terms a - b with a common part b that
    // the differential combination cancels.
    const Reference& r = reference();
    const Matrix s = [&](double f, int i, int j) -> std::complex<double> {
        const std::complex<double> fext = 0.1 * r.H(f, 40 * r.Dt), next = -0.05 * r.H(f, 80 * r.Dt);
        const std::complex<double> common = 0.03 * r.H(f, 5 * r.Dt);
        if (i == j)
            return 0.02;
        auto line = [](int p) { return (p - 1) % 4 + 1; };
        auto isOut = [](int p) { return p > 4; };
        // Order the pair (victim output, other) when one end is a victim output.
        int o = i, d = j;
        if (!(isOut(o) && line(o) <= 2))
            std::swap(o, d);
        if (!(isOut(o) && line(o) <= 2))
            return 0.0;  // nothing else matters here
        const int lo = line(o), ld = line(d);
        const bool sameSign = (lo % 2) == (ld % 2);
        if (!isOut(d) && ld <= 2)
            return lo == ld ? r.H(f) : 0.0;  // the victim lines themselves
        if (!isOut(d))
            return sameSign ? fext + common : common;  // aggressor driven at its inputs
        if (ld >= 3)
            return sameSign ? next + common : common;  // aggressor driven at its outputs
        return 0.0;
    };
    const std::string dir = scratchDir();
    const std::string path = writeFile(dir, "x.s8p", touchstone(8, grid(20e6, 50e9, false), s, {}));
    SParameterChannel sp;
    sp.FextPairs = {2};
    sp.NextPairs = {2};
    std::vector<std::vector<double>> cols;
    std::vector<std::string> summary;
    ASSERT_TRUE(build(path, sp, cols, summary));
    ASSERT_EQ(cols.size(), 3u);
    EXPECT_LT(relativeError(cols[0]), kRoundTripTolerance);
    EXPECT_LT(relativeError(cols[1], 0.1, 40), kRoundTripTolerance);
    EXPECT_LT(relativeError(cols[2], -0.05, 80), kRoundTripTolerance);
    EXPECT_EQ(line(summary, "crosstalk 1"),
              "crosstalk 1: FEXT from pair 2 (lines 3->7 and 4->8, driven at its inputs)");
    EXPECT_EQ(line(summary, "crosstalk 2"),
              "crosstalk 2: NEXT from pair 2 (lines 3->7 and 4->8, driven at its outputs)");
    EXPECT_EQ(
        line(summary, "pairs"),
        "pairs: 2 in the file; through pair 1, FEXT from 2, NEXT from 2 (--through-pair, --fext, --next)");

    // Options that do not fit the file.
    TouchstoneNetwork net;
    std::string error;
    ASSERT_TRUE(TouchstoneFile::Read(path, net, error));
    std::vector<SParameterResponse> rs;
    sp.FextPairs = {3};
    EXPECT_FALSE(sp.responses(net, rs, error));
    EXPECT_EQ(error, "--fext pair 3: the file has pairs 1 to 2");
    sp.FextPairs = {};
    sp.NextPairs = {1};
    EXPECT_FALSE(sp.responses(net, rs, error));
    EXPECT_EQ(error, "--next pair 1 is the through pair");
    sp.NextPairs = {};
    sp.ThroughPair = 2;
    ASSERT_TRUE(sp.responses(net, rs, error)) << error;
    EXPECT_EQ(rs[0].Name, "SDD21 of pair 2 (lines 3->7 and 4->8; --port-map 13_24)");
    net.Ports = 6;
    EXPECT_FALSE(sp.responses(net, rs, error));
    EXPECT_EQ(error,
              "a 6-port network: ami-host reads 2-port files (S21) and files of 4, 8, 12, 16 ... ports "
              "(differential pairs)");
}

TEST(SParameterChannel, RollOffPassivityAndCausalityAreReported)
{
    const Reference& r = reference();
    const std::vector<double> f = grid(20e6, 20e9, false);
    std::vector<std::complex<double>> h;
    for (double x : f)
        h.push_back(r.H(x));
    const size_t n = SParameterChannel::fftLength(f, r.Dt);
    EXPECT_EQ(n, 32768u);  // 1 / (20 MHz * 2.44 ps) = 20480 points, rounded up
    ImpulseConversion info;
    const std::vector<std::complex<double>> x = SParameterChannel::gridSpectrum(f, h, r.Dt, n, info);
    const double df = 1.0 / (n * r.Dt);
    EXPECT_EQ(info.BandEdge, 20e9);
    EXPECT_EQ(info.RollOffEnd, 25e9);
    for (size_t k = 0; k < x.size(); ++k) {
        const double fk = k * df;
        if (fk <= 20e9) {
            // Interpolated between 20 MHz points: close to the line itself
            // except below the first point, where the DC point is
            // extrapolated. Linear interpolation errs by (step^2 / 8) times
            // the curvature, and the skin effect's sqrt(f) bends the response
            // most at low frequencies: 5.5e-4 at 25 MHz, falling about as
            // 1/f (4e-5 at 200 MHz, 2e-7 at 10 GHz). The bound
            // 1.5e-3 * 20 MHz / f keeps a margin of 1.5 to 10 over the band;
            // holding the nearest point instead (an error of half a step times
            // the slope) breaks it.
            if (fk >= 20e6) {
                ASSERT_LT(std::abs(x[k] - r.H(fk)), 1.5e-3 * 20e6 / fk) << fk;
            }
        } else if (fk < 25e9) {
            const double taper = 0.5 * (1 + std::cos(kPi * (fk - 20e9) / 5e9));
            ASSERT_NEAR(std::abs(x[k]), std::abs(r.H(20e9)) * taper, 1e-12) << fk;
        } else {
            ASSERT_EQ(x[k], std::complex<double>(0.0, 0.0)) << fk;
        }
    }
    EXPECT_EQ(x[0].imag(), 0.0);

    // A response that arrives 200 samples early wraps around to the end of
    // the record: nearly all its energy lies ahead of the main response.
    std::vector<std::complex<double>> early;
    for (double fr : f)
        early.push_back(r.H(fr, -200 * r.Dt));
    SParameterChannel::impulse(f, early, r.Dt, n, info);
    EXPECT_GT(info.EnergyAhead, 0.9);
    SParameterChannel::impulse(f, h, r.Dt, n, info);
    EXPECT_LT(info.EnergyAhead, 1e-3);

    // |S21| = 1.02 at one frequency: not passive, and said so.
    TouchstoneNetwork net;
    net.Ports = 2;
    net.Version = "1.x";
    net.Format = "MA";
    net.FrequencyUnit = "GHz";
    net.Reference = {50, 50};
    net.Frequencies = {1e9, 2e9, 3e9};
    for (double g : {0.9, 1.02, 0.8})
        net.S.push_back({0.1, 0.0, std::complex<double>(g, 0.0), 0.1});
    std::vector<std::vector<double>> cols;
    std::vector<std::string> summary;
    std::string error;
    ASSERT_TRUE(SParameterChannel().Build(net, "p.s2p", r.Dt, cols, summary, error)) << error;
    EXPECT_EQ(line(summary, "passivity"),
              "passivity: |S| > 1 at 1 of 3 frequencies, largest |S21| = 1.0200 at 2 GHz (not passive)");
    // Data beyond the grid's Nyquist frequency is not used.
    net.Frequencies = {1e9, 100e9, 300e9};
    ASSERT_TRUE(SParameterChannel().Build(net, "p.s2p", r.Dt, cols, summary, error)) << error;
    EXPECT_EQ(line(summary, "band edge"),
              "band edge: the data above the grid's Nyquist frequency 204.8 GHz is not used");
    // 0.9 - (1.02 - 0.9) / 99 by hand.
    EXPECT_EQ(
        line(summary, "0 Hz"),
        "0 Hz: no point in the file; added by linear extrapolation from 1 GHz and 100 GHz: H(0) = 0.8988 (through)");
    net.Frequencies = {1e9};
    net.S.resize(1);
    EXPECT_FALSE(SParameterChannel().Build(net, "p.s2p", r.Dt, cols, summary, error));
    EXPECT_EQ(error, "Touchstone file 'p.s2p' holds one frequency; an impulse needs at least two");
}
