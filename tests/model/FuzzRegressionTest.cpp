// Calls the AMI_Init fuzz target (fuzz/ami_init_fuzz.cpp) found to go wrong,
// kept so that they stay mended. Calls that could hang or exhaust memory run
// in a child process with a time limit (and, outside AddressSanitizer, an
// address-space limit), so that a regression fails the test instead of
// stalling or sinking the whole program.
//
// Tests named  describe faults not mended yet; remove the prefix
// together with the fix.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "tests/model/AmiTestHost.h"

#if defined(__SANITIZE_ADDRESS__)
#define VM_FUZZREG_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VM_FUZZREG_ASAN 1
#endif
#endif

using namespace amitest;

namespace {

struct ChildOutcome {
    bool finished = false;  // exited by itself within the time limit
    bool exitedNormally = false;
    long ret = -1;
    std::string message;
};

// Runs AMI_Init in a child process. The child writes the return value and the
// message to a pipe. Gives up (and kills the child) after `seconds`.
ChildOutcome initInChild(const std::string& parameters, std::vector<double> matrix, long rows,
                         long aggressors, double sampleInterval, double bitTime, int seconds,
                         size_t addressSpaceLimit)
{
    ChildOutcome o;
    Library& lib = library();
    int fds[2];
    if (pipe(fds) != 0)
        return o;
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return o;
    }
    if (pid == 0) {
        close(fds[0]);
        if (addressSpaceLimit > 0) {
            struct rlimit limit;
            limit.rlim_cur = limit.rlim_max = addressSpaceLimit;
            setrlimit(RLIMIT_AS, &limit);
        }
        std::vector<char> text(parameters.begin(), parameters.end());
        text.push_back('\0');
        void* handle = nullptr;
        char* msg = nullptr;
        const long ret = lib.init(matrix.empty() ? nullptr : matrix.data(), rows, aggressors, sampleInterval,
                                  bitTime, text.data(), nullptr, &handle, &msg);
        std::string report = std::to_string(ret) + "\n" + (msg != nullptr ? msg : "");
        const char* p = report.data();
        size_t left = report.size();
        while (left > 0) {
            const ssize_t n = write(fds[1], p, left);
            if (n <= 0)
                break;
            p += n;
            left -= static_cast<size_t>(n);
        }
        lib.close(handle);
        _exit(0);
    }
    close(fds[1]);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    std::string report;
    int status = 0;
    for (int tick = 0; tick < seconds * 20; ++tick) {
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0)
            report.append(buf, static_cast<size_t>(n));
        if (waitpid(pid, &status, WNOHANG) == pid) {
            o.finished = true;
            break;
        }
        usleep(50000);
    }
    if (!o.finished) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    } else {
        char buf[4096];
        ssize_t n;
        while ((n = read(fds[0], buf, sizeof buf)) > 0)
            report.append(buf, static_cast<size_t>(n));
        o.exitedNormally = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    close(fds[0]);
    const size_t nl = report.find('\n');
    if (nl != std::string::npos) {
        o.ret = std::strtol(report.c_str(), nullptr, 10);
        o.message = report.substr(nl + 1);
    }
    return o;
}

bool allFinite(const std::vector<double>& v)
{
    for (double x : v)
        if (!std::isfinite(x))
            return false;
    return true;
}

}  // namespace

// An output gain so large that the output overflows must not come back as a
// success with infinite samples: the host would take them as the channel.
// Found as "(OutputGain 1e300)" with an ordinary channel. Either the call
// fails and says why, or every sample it hands back is finite.
TEST(FuzzRegression, OverflowingOutputGainIsNotASuccess)
{
    ASSERT_EQ(library().error, "");
    const long rows = 256;
    const std::vector<double> channel = lossyChannel(rows, 0.5);
    for (const char* gain : {"1e300", "1.7976931348623157e308", "inf", "-inf", "1e999"}) {
        for (int autoInit : {0, 1}) {
            SCOPED_TRACE(std::string("OutputGain ") + gain + ", AutoInit " + std::to_string(autoInit));
            const Result r = call(params(autoInit, 5, 0, gain), channel, rows, 0, kSampleInterval, kBitTime);
            EXPECT_TRUE(r.ret == 0 || r.ret == 1);
            if (r.ret == 1)
                EXPECT_TRUE(allFinite(r.matrix)) << r.msg;
            else
                EXPECT_FALSE(r.msg.empty());
        }
    }
}

// With row_size 0 every column is empty, yet each one went through the whole
// model (about 2 ms each): a host passing row_size 0 with a huge aggressor
// count never got its call back. The call must end promptly.
TEST(FuzzRegression, EmptyColumnsWithAHugeAggressorCountEndPromptly)
{
    ASSERT_EQ(library().error, "");
    for (long aggressors : {100000L, LONG_MAX}) {
        SCOPED_TRACE("aggressors " + std::to_string(aggressors));
        const ChildOutcome o =
            initInChild(params(1, 5, 0), {}, 0, aggressors, kSampleInterval, kBitTime, 60, 0);
        ASSERT_TRUE(o.finished) << "AMI_Init did not return within 60 s";
        EXPECT_TRUE(o.exitedNormally);
        EXPECT_TRUE(o.ret == 0 || o.ret == 1);
        EXPECT_FALSE(o.message.empty());
    }
}

// A sample interval far below anything a channel needs (1 fs bits at 32
// samples per bit, or 10^7 samples per 78 ps bit) made the step responses
// tens of millions of samples long: the call ran for minutes and took
// gigabytes before it reported "out of memory" (or the process was killed).
// It must be refused with a message of its own, promptly, within 1 GiB.
TEST(FuzzRegression, AbsurdlyFineSampleGridIsRefusedPromptly)
{
    ASSERT_EQ(library().error, "");
#ifdef VM_FUZZREG_ASAN
    const size_t limit = 0;  // the sanitizer reserves far more address space
#else
    const size_t limit = size_t(1) << 30;
#endif
    const long rows = 256;
    const std::vector<double> channel = lossyChannel(rows, 0.5);
    const double grids[][2] = {{1e-15, 1e-15 / 32}, {kBitTime, kBitTime / 1e7}, {kBitTime, kBitTime / 2e5}};
    for (const auto& g : grids) {
        SCOPED_TRACE("bit_time " + std::to_string(g[0]) + ", sample_interval " + std::to_string(g[1]));
        const ChildOutcome o = initInChild(params(1, 5, 0), channel, rows, 0, g[1], g[0], 60, limit);
        ASSERT_TRUE(o.finished) << "AMI_Init did not return within 60 s";
        EXPECT_TRUE(o.exitedNormally);
        EXPECT_EQ(o.ret, 0);
        EXPECT_FALSE(o.message.empty());
        EXPECT_EQ(o.message.find("out of memory"), std::string::npos) << o.message;
    }
}

// The paths that the fuzz target reaches and that must stay as they are: a
// refused size never reads the matrix (a one-sample matrix is passed, so
// AddressSanitizer sees any overrun), a refused time leaves the matrix as it
// was, and each gives a message.
TEST(FuzzRegression, RefusedSizesAndTimesLeaveTheMatrixAlone)
{
    ASSERT_EQ(library().error, "");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        long rows, aggressors;
        double si, bt;
    } cases[] = {
        {LONG_MAX, 1, kSampleInterval, kBitTime},
        {2, LONG_MAX, kSampleInterval, kBitTime},
        {LONG_MIN, 0, kSampleInterval, kBitTime},
        {-1, LONG_MAX, kSampleInterval, kBitTime},
        {256, 0, nan, kBitTime},
        {256, 0, kSampleInterval, -inf},
        {256, 0, std::numeric_limits<double>::denorm_min(), kBitTime},
        {256, 0, kBitTime / 3e9, kBitTime},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("rows " + std::to_string(c.rows) + ", aggressors " + std::to_string(c.aggressors) +
                     ", sample_interval " + std::to_string(c.si));
        const std::vector<double> matrix = c.rows == 256 ? lossyChannel(256, 0.5) : std::vector<double>{0.25};
        const Result r = call(params(1, 5, 0), matrix, c.rows, c.aggressors, c.si, c.bt);
        EXPECT_EQ(r.ret, 0);
        EXPECT_FALSE(r.msg.empty());
        EXPECT_TRUE(r.matrix == matrix);
    }
}

// "(PreEmphasis -2147483648)" overflowed the state-to-index conversion. Every
// state outside 0..15 is refused with the index line when AutoInit is 0, and
// is irrelevant (the search picks the state) when AutoInit is 1.
TEST(FuzzRegression, ExtremePreEmphasisValues)
{
    ASSERT_EQ(library().error, "");
    const long rows = 256;
    const std::vector<double> channel = lossyChannel(rows, 0.5);
    for (int pre : {INT_MIN, INT_MIN + 1, -1, 16, INT_MAX}) {
        SCOPED_TRACE("PreEmphasis " + std::to_string(pre));
        const Result fixed = call(params(0, pre, 0), channel, rows, 0, kSampleInterval, kBitTime);
        EXPECT_EQ(fixed.ret, 0);
        EXPECT_EQ(fixed.msg, "Error occurred in VELMOR7700X::Setup().\n"
                             "Data1Index must be an integer in the range [1, 16].\n");
        const Result searched = call(params(1, pre, 0), channel, rows, 0, kSampleInterval, kBitTime);
        EXPECT_EQ(searched.ret, 1) << searched.msg;
        EXPECT_NE(searched.msg.find("Optimization of PreEmphasis over count = 16 states"), std::string::npos);
    }
}
