// Drives AMI_Init / AMI_Close from the fuzzer input, as a careless or hostile
// simulator might call them.
//
// The input is read front to back as a sequence of choices, one byte each
// (a byte taken modulo the number of productions), with raw bytes and raw
// doubles where a production asks for them. An exhausted input reads as
// zero bytes, and choice 0 is always the ordinary production, so the empty
// input is a plain, valid call:
//   (VELMOR7700X (AutoInit 1) (PreEmphasis 8) (CornerCase 0) (OutputGain 1.0))
//   256 rows, no aggressor, 32 samples per 78.125 ps bit, a lossy channel.
//
// Layout, in reading order:
//   mode      0..199 grammar tree, 200..229 raw parameter text,
//             230..239 null parameter string, 240..247 null msg pointer,
//             248..255 null memory-handle pointer
//   options   bit 0: make the same call twice and compare the results;
//             bit 1: null AMI_parameters_out
//   tree      (grammar mode) prefix junk?, '('?, root name, the four known
//             leaves in one of 24 orders, each well formed / missing /
//             duplicated / unclosed / misspelt / nested / a list, extra
//             items (unknown leaves, nested branches, junk, blanks, stray
//             parentheses), ')'?, trailing junk?
//   times     bit_time, then samples per bit or a sample interval of its own,
//             both with zero, negative, non-finite, denormal and huge values
//   sizes     row_size, aggressors, a null matrix
//   samples   per column a shape and an amplitude, then single samples set
//             to NaN, infinities, denormals or huge values
//
// Work per input is bounded: at most 4096 samples in the matrix and at most
// 256 samples per bit unless the call is one AMI_Init refuses outright.
//
// Besides memory errors, undefined behaviour and leaks, the target traps on
// a result other than 0 or 1, a failure without a message, a null message
// or handle where the call must set them, a touched pointer on the
// null-pointer paths, a success with non-finite output samples, and (option
// bit 0) two identical calls that disagree.

#include "model/VELMOR7700X_AMI.h"
#include "model/TxStepResponseList.h"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

namespace {

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

class Input {
public:
    Input(const uint8_t* data, size_t size)
        : data_(data),
          size_(size)
    {
    }

    uint8_t byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    unsigned pick(unsigned n) { return byte() % n; }
    uint16_t u16()
    {
        const uint16_t lo = byte();
        return static_cast<uint16_t>(lo | (byte() << 8));
    }
    double f64()
    {
        uint8_t b[8];
        for (uint8_t& x : b)
            x = byte();
        double d;
        std::memcpy(&d, b, sizeof d);
        return d;
    }
    std::string raw(size_t maxLength)
    {
        const size_t n = byte() % (maxLength + 1);
        std::string s;
        for (size_t k = 0; k < n && pos_ < size_; ++k)
            s.push_back(static_cast<char>(data_[pos_++]));
        return s;
    }
    bool exhausted() const { return pos_ >= size_; }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();
const double kDenorm = std::numeric_limits<double>::denorm_min();

template <size_t N> const char* choose(Input& in, const char* const (&list)[N])
{
    return list[in.pick(N)];
}

std::string printed(double v)
{
    char b[64];
    std::snprintf(b, sizeof b, "%.17g", v);
    return b;
}

// ---- the parameter tree -------------------------------------------------

const char* const kGenericValues[] = {
    "0",     "1",      "2",          "-1",          "15",         "16",         "-16",
    "7",     "4",      "2147483647", "-2147483648", "2147483648", "4294967296", "99999999999999999999",
    "1.0",   "0.0",    "-0",         "1e308",       "-1e308",     "1e-320",     "4.9e-324",
    "nan",   "-nan",   "inf",        "-inf",        "1e999",      "0x1p-1074",  "0.5",
    "2.5",   "1e-300", "7.5",        "3abc",        "1.5.5",      "+7",         " 7 ",
    "\"1\"", "\"\"",   "()",         "1 2 3",       "\t1",        "0x10",       "010",
    "",
};

// Typical values first, then the edges of each leaf's range.
const char* const kAutoInitValues[] = {"1", "0", "2", "-1", "3", "1.5", "-2147483648"};
const char* const kPreEmphasisValues[] = {"8", "0", "15", "5", "16", "-1", "3", "12", "255", "1e1"};
const char* const kCornerValues[] = {"0", "1", "2", "3", "4", "5", "7", "-1", "2147483647"};
const char* const kGainValues[] = {"1.0",      "0.5",    "0",     "-1",
                                   "2",        "1e-300", "1e300", "1.7976931348623157e308",
                                   "4.9e-324", "nan",    "inf",   "-0.0"};

std::string value(Input& in, int leaf)
{
    const unsigned c = in.pick(16);
    if (c < 8) {
        switch (leaf) {
        case 0:
            return choose(in, kAutoInitValues);
        case 1:
            return choose(in, kPreEmphasisValues);
        case 2:
            return choose(in, kCornerValues);
        case 3:
            return choose(in, kGainValues);
        default:
            break;
        }
    }
    switch (c) {
    case 8:
    case 9:
    case 10:
        return choose(in, kGenericValues);
    case 11:
        return in.raw(12);
    case 12:
        return printed(in.f64());
    case 13:
        return std::to_string(static_cast<int16_t>(in.u16()));
    case 14:
        return "\"" + in.raw(12) + "\"";
    default:
        return std::to_string(static_cast<int>(in.pick(32)) - 8);
    }
}

const char* const kKnownNames[] = {"AutoInit", "PreEmphasis", "CornerCase", "OutputGain"};

std::string knownNameVariant(Input& in, int leaf)
{
    const std::string name = kKnownNames[leaf];
    switch (in.pick(6)) {
    case 0: {
        std::string lower = name;
        for (char& ch : lower)
            ch = static_cast<char>(ch | 0x20);
        return lower;
    }
    case 1:
        return name + "X";
    case 2:
        return "\"" + name + "\"";
    case 3:
        return name.substr(0, name.size() - 1);
    case 4:
        return name + in.raw(4);
    default:
        return " " + name;
    }
}

std::string blank(Input& in)
{
    static const char* const blanks[] = {" ", " ", "  ", "\t", "\n", "\r\n", "", " \n "};
    return choose(in, blanks);
}

std::string otherName(Input& in)
{
    static const char* const names[] = {"Tx_Rj",       "Foo",       "Model_Specific", "Reserved_Parameters",
                                        "VELMOR7700X", "AutoInitX", "Auto Init",      "Data1Index",
                                        "a.b",         "."};
    const unsigned c = in.pick(4);
    if (c == 3)
        return in.raw(10);
    return choose(in, names);
}

void items(Input& in, std::string& out, int depth);

void item(Input& in, std::string& out, int depth)
{
    switch (in.pick(10)) {
    case 0:
    case 1:
    case 2:  // an unknown leaf
        out += "(" + otherName(in) + blank(in) + value(in, -1) + ")";
        break;
    case 3:
    case 4:  // a nested branch
        out += "(" + otherName(in) + blank(in);
        if (depth < 3)
            items(in, out, depth + 1);
        out += ")";
        break;
    case 5: {  // a known leaf in the wrong place or twice
        const int leaf = static_cast<int>(in.pick(4));
        out += std::string("(") + kKnownNames[leaf] + " " + value(in, leaf) + ")";
        break;
    }
    case 6:
        out += in.raw(16);
        break;
    case 7:
        out += blank(in);
        break;
    case 8:
        out += in.pick(2) ? "(" : ")";
        break;
    default:
        out += "(" + otherName(in) + " (" + value(in, -1) + " " + value(in, -1) + "))";
        break;
    }
}

void items(Input& in, std::string& out, int depth)
{
    const unsigned n = in.pick(4);
    for (unsigned k = 0; k < n; ++k) {
        item(in, out, depth);
        out += blank(in);
    }
}

void knownLeaf(Input& in, std::string& out, int leaf)
{
    const std::string name = kKnownNames[leaf];
    const unsigned mode = in.pick(16);
    if (mode < 9) {
        out += "(" + name + " " + value(in, leaf) + ")";
        return;
    }
    switch (mode) {
    case 9:
        break;  // missing
    case 10:
        out += "(" + name + " " + value(in, leaf) + ")(" + name + " " + value(in, leaf) + ")";
        break;
    case 11:
        out += "(" + name + " " + value(in, leaf);
        break;  // unclosed
    case 12:
        out += "(" + knownNameVariant(in, leaf) + " " + value(in, leaf) + ")";
        break;
    case 13:
        out += "(Sub (" + name + " " + value(in, leaf) + "))";
        break;
    case 14:
        out += "(" + name + " " + value(in, leaf) + " " + value(in, leaf) + ")";
        break;
    default:
        out += "(" + name + blank(in) + value(in, leaf) + blank(in) + ")";
        break;
    }
}

std::string parameterTree(Input& in)
{
    std::string out;
    if (in.pick(8) == 7)
        out += in.raw(16);
    if (in.pick(16) != 15)
        out += "(";
    static const char* const roots[] = {
        "VELMOR7700X",     "VELMOR7700X",  "VELMOR7700X",  "velmor7700x", "VELMOR7700", "",
        "\"VELMOR7700X\"", "VELMOR7700X.", "VELMOR7700XX", "Other"};
    const unsigned r = in.pick(11);
    out += r < 10 ? std::string(roots[r]) : in.raw(12);
    out += " ";
    static const int orders[24][4] = {{0, 1, 2, 3}, {0, 1, 3, 2}, {0, 2, 1, 3}, {0, 2, 3, 1}, {0, 3, 1, 2},
                                      {0, 3, 2, 1}, {1, 0, 2, 3}, {1, 0, 3, 2}, {1, 2, 0, 3}, {1, 2, 3, 0},
                                      {1, 3, 0, 2}, {1, 3, 2, 0}, {2, 0, 1, 3}, {2, 0, 3, 1}, {2, 1, 0, 3},
                                      {2, 1, 3, 0}, {2, 3, 0, 1}, {2, 3, 1, 0}, {3, 0, 1, 2}, {3, 0, 2, 1},
                                      {3, 1, 0, 2}, {3, 1, 2, 0}, {3, 2, 0, 1}, {3, 2, 1, 0}};
    const int* order = orders[in.pick(24)];
    for (int k = 0; k < 4; ++k) {
        knownLeaf(in, out, order[k]);
        out += blank(in);
    }
    items(in, out, 0);
    const unsigned close = in.pick(16);
    if (close == 14)
        out += "))";
    else if (close != 15)
        out += ")";
    if (in.pick(8) == 7)
        out += in.raw(16);
    return out;
}

// ---- the numeric arguments ------------------------------------------------

const double kUI = 1.0 / 12.8e9;

double specialTime(Input& in)
{
    switch (in.pick(12)) {
    case 0:
        return 0.0;
    case 1:
        return -0.0;
    case 2:
        return -kUI;
    case 3:
        return kNaN;
    case 4:
        return kInf;
    case 5:
        return -kInf;
    case 6:
        return kDenorm;
    case 7:
        return DBL_MAX;
    case 8:
        return DBL_MIN;
    case 9:
        return 1e-300;
    case 10:
        return 1e300;
    default:
        return in.f64();
    }
}

// The last time of the longest compiled-in step response.
double maxStepResponseTime()
{
    static const double last = [] {
        using Veltramodels20200612::TxStepResponseList;
        double m = 0.0;
        for (int c = 0; c < TxStepResponseList::NumCorners; ++c) {
            const int rows = TxStepResponseList::Rows(c);
            if (rows > 0)
                m = std::max(m, TxStepResponseList::Table(c)[(rows - 1) * TxStepResponseList::NumColumns]);
        }
        return m;
    }();
    return last;
}

struct Times {
    double bitTime;
    double sampleInterval;
};

Times times(Input& in)
{
    Times t;
    switch (in.pick(16)) {
    case 0:
    case 1:
    case 2:
    case 3:
    case 4:
    case 5:
        t.bitTime = kUI;
        break;
    case 6:
        t.bitTime = 1e-9;
        break;
    case 7:
        t.bitTime = 1e-12;
        break;
    case 8:
        t.bitTime = 1e-6;
        break;
    case 9:
        t.bitTime = 1.0;
        break;
    case 10:
        t.bitTime = 1e-15;
        break;
    default:
        t.bitTime = specialTime(in);
        break;
    }
    // Samples per bit; a ratio above 256 is only sent where AMI_Init refuses
    // it (a ratio that does not fit an int) or where the time is not finite.
    static const double ratios[] = {32.0, 31.6, 31.4, 4.0, 3.9,          3.49,  4.5, 8.0,
                                    16.0, 64.0, 1.0,  0.5, 2147483648.0, 1e300, 4.4, 255.5};
    const unsigned c = in.pick(20);
    if (c < 16) {
        t.sampleInterval = t.bitTime / ratios[c];
    } else if (c < 19) {
        t.sampleInterval = t.bitTime / (4.0 + in.byte() / 1.5);
    } else {
        t.sampleInterval = specialTime(in);
    }
    // A grid finer than that, or one on which the step responses (about a
    // nanosecond long) take more than 8192 samples, would only make the run
    // slow and big. What AMI_Init refuses stays in.
    const bool valid =
        std::isfinite(t.bitTime) && std::isfinite(t.sampleInterval) && t.bitTime > 0 && t.sampleInterval > 0;
    const double ratio = t.bitTime / t.sampleInterval;
    if (valid && ratio + 0.5 < 2147483647.0) {
        const double stepSamples = maxStepResponseTime() / t.sampleInterval;
        if (ratio > 256.0 || (stepSamples > 8192.0 && stepSamples < 2147483647.0)) {
            t.bitTime = kUI;
            t.sampleInterval = kUI / 32.0;
        }
    }
    return t;
}

const long kMaxSamples = 4096;

struct Sizes {
    long rows;
    long aggressors;
    bool nullMatrix;
};

Sizes sizes(Input& in)
{
    Sizes s;
    switch (in.pick(10)) {
    case 0:
    case 1:
        s.rows = 256;
        break;
    case 2:
        s.rows = 0;
        break;
    case 3:
        s.rows = 1;
        break;
    case 4:
        s.rows = 1 + static_cast<long>(in.u16() % kMaxSamples);
        break;
    case 5:
        s.rows = 64;
        break;
    case 6:
        s.rows = -1;
        break;
    case 7:
        s.rows = LONG_MIN;
        break;
    case 8:
        s.rows = LONG_MAX;
        break;
    default:
        s.rows = 2 + static_cast<long>(in.pick(15));
        break;
    }
    switch (in.pick(10)) {
    case 0:
    case 1:
        s.aggressors = 0;
        break;
    case 2:
        s.aggressors = 1;
        break;
    case 3:
        s.aggressors = -1;
        break;
    case 4:
        s.aggressors = 3;
        break;
    case 5:
        s.aggressors = LONG_MIN;
        break;
    case 6:
        s.aggressors = LONG_MAX;
        break;
    case 7:
        s.aggressors = -2;
        break;
    default:
        s.aggressors = static_cast<long>(in.pick(16));
        break;
    }
    s.nullMatrix = in.pick(32) == 31;
    // The matrix must really hold (aggressors + 1) x rows samples, or the
    // fuzzer would only find its own overruns. Keep it small, except where
    // AMI_Init has to refuse the sizes before reading any sample.
    if (s.rows > 0 && s.aggressors >= 0) {
        const bool refusedForSize = s.aggressors >= LONG_MAX / s.rows;
        if (!refusedForSize) {
            if (s.rows > kMaxSamples)
                s.rows = kMaxSamples;
            if ((s.aggressors + 1) * s.rows > kMaxSamples)
                s.aggressors = kMaxSamples / s.rows - 1;
        }
    } else if (s.rows == 0 && s.aggressors > 8) {
        s.aggressors = 8;  // empty columns, but each one still runs the model
    }
    return s;
}

long matrixSamples(const Sizes& s)
{
    if (s.rows <= 0 || s.aggressors < 0 || s.aggressors >= LONG_MAX / s.rows)
        return 0;
    return (s.aggressors + 1) * s.rows;
}

// ---- the impulse samples --------------------------------------------------

void fillColumn(Input& in, double* col, long rows)
{
    static const double amplitudes[] = {1.0, 1e-300, 1e300, 0.0, -1.0, 1e-320, 1e150, 1e-150, 1e-3, 1e6};
    const unsigned shape = in.pick(8);
    const double amp = amplitudes[in.pick(10)];
    switch (shape) {
    case 0: {  // a lossy channel in V/s: a delayed third-order pole response
        const double tau = (2.0 + in.pick(64)) * 4.0;
        const double delay = in.pick(96);
        double sum = 0.0;
        for (long i = 0; i < rows; ++i) {
            const double t = i - delay;
            col[i] = t > 0 ? (t / tau) * (t / tau) * std::exp(-t / tau) : 0.0;
            sum += col[i];
        }
        const double norm = sum > 0 ? 0.8 / (sum * (kUI / 32.0)) : 0.0;
        for (long i = 0; i < rows; ++i)
            col[i] *= norm * amp;
        break;
    }
    case 1: {  // a single sample
        for (long i = 0; i < rows; ++i)
            col[i] = 0.0;
        if (rows > 0)
            col[in.u16() % rows] = amp * 4e11;
        break;
    }
    case 2:
        for (long i = 0; i < rows; ++i)
            col[i] = 0.0;
        break;
    case 3:  // raw doubles as long as the input lasts
        for (long i = 0; i < rows; ++i)
            col[i] = in.exhausted() ? 0.0 : in.f64();
        break;
    case 4:
        for (long i = 0; i < rows; ++i)
            col[i] = amp;
        break;
    case 5:
        for (long i = 0; i < rows; ++i)
            col[i] = (i % 2 ? -amp : amp) * 1e10;
        break;
    case 6:
        for (long i = 0; i < rows; ++i)
            col[i] = amp * static_cast<double>(i) * 1e8;
        break;
    default:
        for (long i = 0; i < rows; ++i)
            col[i] = amp * (static_cast<int8_t>(in.byte())) * 1e8;
        break;
    }
}

double extremeSample(Input& in)
{
    switch (in.pick(12)) {
    case 0:
        return kNaN;
    case 1:
        return -kNaN;
    case 2:
        return kInf;
    case 3:
        return -kInf;
    case 4:
        return kDenorm;
    case 5:
        return -kDenorm;
    case 6:
        return DBL_MAX;
    case 7:
        return -DBL_MAX;
    case 8:
        return DBL_MIN;
    case 9:
        return 1e300;
    case 10:
        return -0.0;
    default:
        return in.f64();
    }
}

bool allFinite(const std::vector<double>& v)
{
    for (double x : v)
        if (!std::isfinite(x))
            return false;
    return true;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

struct Outcome {
    long ret = -1;
    std::string msg;
    std::vector<double> matrix;
};

enum class NullPointer { None, Params, Msg, Handle };

Outcome callOnce(const std::string& params, NullPointer nulls, bool nullParamsOut,
                 const std::vector<double>& input, const Sizes& s, const Times& t)
{
    Outcome o;
    o.matrix = input;
    std::vector<char> text(params.begin(), params.end());
    text.push_back('\0');
    char* paramsIn = nulls == NullPointer::Params ? nullptr : text.data();
    char* const outSentinel = reinterpret_cast<char*>(&o);
    char* paramsOut = outSentinel;
    void* const handleSentinel = &o.ret;
    void* handle = handleSentinel;
    char* const msgSentinel = reinterpret_cast<char*>(&o.msg);
    char* msg = msgSentinel;
    // Where the sizes describe no sample AMI_Init may read (negative or
    // overflowing sizes), it still gets a real pointer, to one sample: an
    // overrun would show.
    double lone = 1.0;
    double* matrix = s.nullMatrix ? nullptr : (o.matrix.empty() ? &lone : o.matrix.data());

    o.ret = AMI_Init(matrix, s.rows, s.aggressors, t.sampleInterval, t.bitTime, paramsIn,
                     nullParamsOut ? nullptr : &paramsOut, nulls == NullPointer::Handle ? nullptr : &handle,
                     nulls == NullPointer::Msg ? nullptr : &msg);
    check(o.ret == 0 || o.ret == 1);
    check(paramsOut == outSentinel);  // never written
    if (nulls == NullPointer::Handle || nulls == NullPointer::Msg) {
        check(o.ret == 0);
        check(handle == handleSentinel && msg == msgSentinel);
        return o;
    }
    check(handle != handleSentinel && handle != nullptr);
    check(msg != msgSentinel && msg != nullptr);
    o.msg = msg;
    if (o.ret == 0)
        check(!o.msg.empty());  // a failure says why
    // A success must hand back usable samples. VM_FUZZ_ALLOW_NONFINITE=1
    // turns this one check off, to look past a known overflow for others.
    static const bool allowNonFinite = std::getenv("VM_FUZZ_ALLOW_NONFINITE") != nullptr;
    if (o.ret == 1 && !allowNonFinite)
        check(allFinite(o.matrix));
    const long closed = AMI_Close(handle);
    check(closed == 0 || closed == 1);
    return o;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 16)
        return 0;
    Input in(data, size);

    const uint8_t mode = in.byte();
    const uint8_t options = in.byte();
    NullPointer nulls = NullPointer::None;
    std::string params;
    if (mode < 200) {
        params = parameterTree(in);
    } else if (mode < 230) {
        params = in.raw(255);
    } else if (mode < 240) {
        nulls = NullPointer::Params;
    } else if (mode < 248) {
        nulls = NullPointer::Msg;
    } else {
        nulls = NullPointer::Handle;
    }

    const Times t = times(in);
    const Sizes s = sizes(in);
    std::vector<double> matrix(static_cast<size_t>(matrixSamples(s)));
    if (!matrix.empty()) {
        for (long c = 0; c <= s.aggressors; ++c)
            fillColumn(in, matrix.data() + c * s.rows, s.rows);
        const unsigned extremes = in.pick(8);
        for (unsigned k = 0; k < extremes; ++k) {
            const size_t at = static_cast<size_t>(in.u16()) % matrix.size();
            matrix[at] = extremeSample(in);
        }
    }

    // For triage: VM_FUZZ_VERBOSE=1 prints each call and its message.
    static const bool verbose = std::getenv("VM_FUZZ_VERBOSE") != nullptr;
    if (verbose)
        std::fprintf(stderr, "params=[%s]%s bit_time=%.17g sample_interval=%.17g rows=%ld aggressors=%ld%s\n",
                     params.c_str(), nulls == NullPointer::None ? "" : " (null pointer case)", t.bitTime,
                     t.sampleInterval, s.rows, s.aggressors, s.nullMatrix ? " null matrix" : "");
    const Outcome first = callOnce(params, nulls, options & 2, matrix, s, t);
    if (verbose)
        std::fprintf(stderr, "ret=%ld msg=[%s]\n", first.ret, first.msg.c_str());
    if (options & 1) {
        const Outcome second = callOnce(params, nulls, options & 2, matrix, s, t);
        check(first.ret == second.ret);
        check(first.msg == second.msg);
        check(sameBits(first.matrix, second.matrix));
    }
    return 0;
}
