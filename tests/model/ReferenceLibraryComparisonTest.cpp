// Regression net for refactoring: the built model library against an earlier
// build of it, named by the environment variable VM_REFERENCE_LIBRARY (a copy
// of the shared library kept outside the build tree). Both are loaded with
// dlopen, as a simulator loads them, and driven through the same calls:
// every corner and state, the automatic choice, gains, aggressors, sample
// grids, all-zero columns, parameter strings that fail, and long channels,
// which are convolved by block transforms instead of the direct form. Return
// values and messages must agree exactly, and every output sample to within
// 1e-12 of its column's peak magnitude (the rounding of the transforms).
// Without the variable the test is skipped.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "tests/model/AmiTestHost.h"

namespace {

struct Loaded {
    void* handle = nullptr;
    amitest::InitFn init = nullptr;
    amitest::CloseFn close = nullptr;
};

Loaded load(const char* path)
{
    Loaded l;
    l.handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (l.handle != nullptr) {
        l.init = reinterpret_cast<amitest::InitFn>(dlsym(l.handle, "AMI_Init"));
        l.close = reinterpret_cast<amitest::CloseFn>(dlsym(l.handle, "AMI_Close"));
    }
    return l;
}

amitest::Result run(const Loaded& lib, const std::string& params, std::vector<double> matrix, long rows,
                    long aggressors, double sampleInterval, double bitTime)
{
    return amitest::callWith(lib.init, lib.close, params, std::move(matrix), rows, aggressors, sampleInterval,
                             bitTime);
}

struct Call {
    std::string params;
    long rows;
    long aggressors;
    int spb;
    double tauUI;
    int zeroColumns;  // 0 none, 1 every aggressor, 2 the through channel too
};

// The impulse matrix of one call: a lossy through channel and weaker,
// differently shaped aggressors, column after column.
std::vector<double> matrixFor(const Call& c)
{
    const double spb = c.spb;
    std::vector<double> m;
    for (long col = 0; col <= c.aggressors; ++col) {
        std::vector<double> h =
            amitest::lossyChannel(c.rows, c.tauUI + 0.3 * col, 2.0 + 0.5 * col, 3 + static_cast<int>(col % 2),
                                  col == 0 ? 0.8 : 0.1, spb);
        if ((c.zeroColumns == 1 && col > 0) || c.zeroColumns == 2)
            h.assign(h.size(), 0.0);
        m.insert(m.end(), h.begin(), h.end());
    }
    return m;
}

std::vector<Call> calls()
{
    std::vector<Call> v;
    const int grids[5] = {16, 24, 32, 40, 64};
    // Every corner and state, fixed state, on varying grids and aggressors.
    for (int loss = 0; loss <= 1; ++loss)
        for (int corner = 0; corner <= 4; ++corner)
            for (int state = 0; state <= 15; ++state)
                v.push_back({amitest::params(0, state, corner), 12 * grids[(state + loss) % 5], state % 5,
                             grids[(state + loss) % 5], 0.5 + 0.25 * corner + 1.5 * loss, 0});
    // The automatic choice over channels of growing loss.
    for (int corner = 0; corner <= 4; ++corner)
        for (int k = 0; k < 16; ++k)
            v.push_back(
                {amitest::params(1, k, corner), 12 * grids[k % 5], k % 5, grids[k % 5], 0.3 + 0.25 * k, 0});
    // Output gains, with and without the automatic choice.
    const char* gains[] = {"1.0", "0.5", "2.5", "1e-3", "0", "-1", "7", nullptr};
    for (const char* g : gains)
        for (int autoInit = 0; autoInit <= 1; ++autoInit)
            for (int corner = 0; corner <= 4; ++corner)
                v.push_back({amitest::params(autoInit, 5 + corner, corner, g), 384, corner % 5, 32, 1.2, 0});
    // Every sample grid from 16 to 64 samples per bit.
    for (int spb = 16; spb <= 64; ++spb)
        v.push_back({amitest::params(spb % 2, spb % 16, spb % 5), 10L * spb, spb % 5, spb, 0.9, 0});
    // Out-of-range corners and states, other AutoInit values.
    const int corners[] = {-1, 5, 7, 100};
    for (int corner : corners)
        for (int autoInit = 0; autoInit <= 2; ++autoInit)
            v.push_back({amitest::params(autoInit, 3, corner), 384, 1, 32, 1.0, 0});
    const int states[] = {-1, 16, 17, -100, 1000};
    for (int state : states)
        for (int autoInit = 0; autoInit <= 2; ++autoInit)
            v.push_back({amitest::params(autoInit, state, 1), 384, 2, 32, 1.0, 0});
    // All-zero aggressors, and an all-zero through channel.
    for (int zero = 1; zero <= 2; ++zero)
        for (int autoInit = 0; autoInit <= 1; ++autoInit)
            for (int aggressors = 0; aggressors <= 4; ++aggressors)
                v.push_back({amitest::params(autoInit, 8, aggressors % 5), 256, aggressors, 32, 1.0, zero});
    // Parameter strings that fail or are only partly there.
    const char* broken[] = {
        "",
        "(VELMOR7700X",
        "(VELMOR7700X)",
        "(OTHER (AutoInit 0)(PreEmphasis 3)(CornerCase 0)(OutputGain 1.0))",
        "(VELMOR7700X (PreEmphasis 3)(CornerCase 0)(OutputGain 1.0))",
        "(VELMOR7700X (AutoInit 0)(CornerCase 0)(OutputGain 1.0))",
        "(VELMOR7700X (AutoInit 0)(PreEmphasis 3)(OutputGain 1.0))",
        "(VELMOR7700X (AutoInit 0)(PreEmphasis 3)(CornerCase 0))",
        "(VELMOR7700X (AutoInit x)(PreEmphasis 3)(CornerCase 0)(OutputGain 1.0))",
        "(VELMOR7700X (AutoInit 0)(PreEmphasis 3.5)(CornerCase 0)(OutputGain abc))",
        "(VELMOR7700X (AutoInit 0)(PreEmphasis 3)(CornerCase 0)(OutputGain 1.0)(Extra 4))",
        "(velmor7700x (AutoInit 0)(PreEmphasis 3)(CornerCase 0)(OutputGain 1.0))",
        "(VELMOR7700X (AutoInit 0)(PreEmphasis 3)(CornerCase 0)(OutputGain nan))",
        "(VELMOR7700X (AutoInit 1)(PreEmphasis 3)(CornerCase 0)(OutputGain 1e400))",
    };
    for (const char* p : broken)
        for (int aggressors = 0; aggressors <= 1; ++aggressors)
            v.push_back({p, 256, aggressors, 32, 1.0, 0});
    // Short impulses and odd row counts.
    const long rows[] = {1, 2, 5, 31, 33, 100, 1000};
    for (long r : rows)
        for (int autoInit = 0; autoInit <= 1; ++autoInit)
            v.push_back({amitest::params(autoInit, 11, 3), r, 1, 32, 0.4, 0});
    // Long lossy channels with every aggressor count.
    for (int aggressors = 0; aggressors <= 4; ++aggressors)
        for (int autoInit = 0; autoInit <= 1; ++autoInit)
            v.push_back({amitest::params(autoInit, 2 * aggressors, 4 - aggressors), 2048, aggressors, 32,
                         3.0 + aggressors, 0});
    // Channels long enough for the block transforms: every corner, fixed and
    // automatic states, every aggressor count, gains and silent aggressors.
    const long longRows[] = {3000, 4096, 12000, 65536};
    for (int k = 0; k < 40; ++k) {
        const long rows = longRows[k % 4];
        const int spb = (k % 3 == 0) ? 16 : 32;
        const char* gain = (k % 7 == 3) ? "2.5" : (k % 7 == 5 ? "-1" : nullptr);
        v.push_back({amitest::params(k % 2, (3 * k) % 16, (k / 2) % 5, gain), rows, k % 5, spb,
                     0.4 + 0.35 * (k % 9), (k % 11 == 4) ? 1 : 0});
    }
    return v;
}

// Each column of got within 1e-12 of the peak magnitude of want's column.
bool columnsAgree(const std::vector<double>& want, const std::vector<double>& got, long rows)
{
    if (want.size() != got.size())
        return false;
    const size_t n = rows > 0 ? static_cast<size_t>(rows) : want.size() + 1;
    for (size_t start = 0; start < want.size(); start += n) {
        const size_t end = std::min(want.size(), start + n);
        double peak = 0.0;
        for (size_t i = start; i < end; ++i)
            peak = std::max(peak, std::fabs(want[i]));
        for (size_t i = start; i < end; ++i)
            if (!(std::fabs(want[i] - got[i]) <= 1e-12 * peak))
                return false;
    }
    return true;
}

TEST(ReferenceLibraryComparison, EveryCallMatchesUpToRounding)
{
    const char* referencePath = std::getenv("VM_REFERENCE_LIBRARY");
    if (referencePath == nullptr || *referencePath == '\0')
        GTEST_SKIP() << "VM_REFERENCE_LIBRARY not set";
    const Loaded reference = load(referencePath);
    ASSERT_NE(reference.init, nullptr) << dlerror();
    const Loaded current = load(VM_SHARED_LIBRARY);
    ASSERT_NE(current.init, nullptr) << dlerror();
    ASSERT_NE(reference.handle, current.handle) << "the two paths name the same library";

    const std::vector<Call> all = calls();
    ASSERT_GE(all.size(), 400u);
    size_t differing = 0, rounded = 0;
    for (size_t k = 0; k < all.size(); ++k) {
        const Call& c = all[k];
        const double bitTime = amitest::kBitTime;
        const double si = bitTime / c.spb;
        const std::vector<double> m = matrixFor(c);
        const amitest::Result want = run(reference, c.params, m, c.rows, c.aggressors, si, bitTime);
        const amitest::Result got = run(current, c.params, m, c.rows, c.aggressors, si, bitTime);
        const bool bitForBit =
            want.matrix.size() == got.matrix.size() &&
            std::memcmp(want.matrix.data(), got.matrix.data(), want.matrix.size() * sizeof(double)) == 0;
        const bool same = want.ret == got.ret && want.closeRet == got.closeRet &&
                          want.msgNull == got.msgNull && want.msg == got.msg &&
                          (bitForBit || columnsAgree(want.matrix, got.matrix, c.rows));
        if (same && !bitForBit)
            ++rounded;
        if (!same) {
            ++differing;
            ADD_FAILURE() << "call " << k << ": " << c.params << " rows " << c.rows << " aggressors "
                          << c.aggressors << " spb " << c.spb << "\nwant (" << want.ret << "):\n"
                          << want.msg << "\ngot (" << got.ret << "):\n"
                          << got.msg;
        }
    }
    RecordProperty("calls", static_cast<int>(all.size()));
    std::printf("compared %zu AMI_Init calls: %zu differing, %zu of the others by rounding only\n",
                all.size(), differing, rounded);
    EXPECT_EQ(differing, 0u);
}

}  // namespace
