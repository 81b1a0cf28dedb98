// The shared library as simulators need it: two exported C symbols, a
// self-contained C++ runtime, separate calls on separate threads, no leaks.
#include <gtest/gtest.h>

#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/model/AmiTestHost.h"

#if defined(__SANITIZE_ADDRESS__)
#define VM_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VM_TEST_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define VM_TEST_TSAN 1
#endif
#ifdef VM_TEST_ASAN
#include <sanitizer/lsan_interface.h>
#endif

using namespace amitest;

namespace {

std::string run(const std::string& command, int* status = nullptr)
{
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    const int st = pclose(p);
    if (status)
        *status = st;
    return out;
}

bool toolAvailable(const char* tool)
{
    return std::system((std::string("command -v ") + tool + " > /dev/null 2>&1").c_str()) == 0;
}

}  // namespace

TEST(AmiLibrary, ExportsExactlyTheTwoEntryPoints)
{
    if (!toolAvailable("nm"))
        GTEST_SKIP() << "nm not available";
    int status = -1;
    const std::string out = run(std::string("nm -D --defined-only \"") + VM_SHARED_LIBRARY + "\"", &status);
    ASSERT_EQ(status, 0) << out;
    std::set<std::string> names;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream f(line);
        std::string addr, type, name;
        if (!(f >> addr >> type >> name))
            continue;
        names.insert(name);
    }
    EXPECT_EQ(names, (std::set<std::string>{"AMI_Init", "AMI_Close"})) << out;
    // And both are functions.
    for (const char* n : {"AMI_Init", "AMI_Close"})
        EXPECT_NE(out.find(std::string(" T ") + n), std::string::npos) << out;
}

TEST(AmiLibrary, DependsOnlyOnTheCAndMathLibraries)
{
    if (!toolAvailable("readelf"))
        GTEST_SKIP() << "readelf not available";
    int status = -1;
    const std::string out = run(std::string("readelf -d \"") + VM_SHARED_LIBRARY + "\"", &status);
    ASSERT_EQ(status, 0) << out;
    std::set<std::string> allowed = {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"};
#if defined(VM_TEST_ASAN)
    // A sanitizer build of the library carries the sanitizer runtimes.
    allowed.insert({"libasan.so.8", "libubsan.so.1", "libasan.so.6", "libubsan.so.0"});
#endif
#if defined(VM_TEST_TSAN)
    allowed.insert({"libtsan.so.2", "libtsan.so.0"});
#endif
    std::istringstream lines(out);
    std::string line;
    int needed = 0;
    while (std::getline(lines, line)) {
        if (line.find("(NEEDED)") == std::string::npos)
            continue;
        const size_t a = line.find('['), b = line.find(']');
        ASSERT_NE(a, std::string::npos);
        const std::string lib = line.substr(a + 1, b - a - 1);
        EXPECT_TRUE(allowed.count(lib)) << "unexpected dependency " << lib;
        ++needed;
    }
    EXPECT_GT(needed, 0);
    EXPECT_EQ(out.find("libstdc++"), std::string::npos);
    EXPECT_EQ(out.find("libgcc_s"), std::string::npos);
}

namespace {

struct Job {
    std::string params;
    std::vector<double> matrix;
    long rows;
    long aggressors;
    double si;
};

std::vector<Job> mixedJobs()
{
    std::vector<Job> jobs;
    const long rows = 1200;
    int n = 0;
    for (double tau : {0.3, 0.9, 1.4}) {
        for (int corner = 0; corner < 5; ++corner) {
            Job j;
            j.rows = rows;
            j.aggressors = n % 3;
            j.si = (n % 4 == 3) ? kBitTime / 31.6 : kSampleInterval;
            j.params = (n % 2 == 0) ? params(1, 0, corner) : params(0, (n * 5) % 16, corner, "0.7");
            for (long c = 0; c <= j.aggressors; ++c) {
                std::vector<double> col = lossyChannel(rows, tau + 0.2 * c, 1.0 + c, 3, c == 0 ? 0.8 : 0.05);
                j.matrix.insert(j.matrix.end(), col.begin(), col.end());
            }
            jobs.push_back(j);
            ++n;
        }
    }
    // Failing calls belong to the mix too.
    Job bad;
    bad.rows = rows;
    bad.aggressors = 0;
    bad.si = kSampleInterval;
    bad.params = params(0, 3, 9);
    bad.matrix = lossyChannel(rows, 0.5);
    jobs.push_back(bad);
    bad.params = "(VELMOR7700X (AutoInit 0))";
    jobs.push_back(bad);
    return jobs;
}

}  // namespace

TEST(AmiLibrary, ThreadsGiveTheSameResultsAsSequentialCalls)
{
    ASSERT_EQ(library().error, "");
    const std::vector<Job> jobs = mixedJobs();
    std::vector<Result> sequential;
    for (const Job& j : jobs)
        sequential.push_back(call(j.params, j.matrix, j.rows, j.aggressors, j.si, kBitTime));

    const int kThreads = 8;
    const int kRounds = 2;
    std::vector<std::vector<Result>> results(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round)
                for (size_t k = 0; k < jobs.size(); ++k) {
                    // Each thread walks the jobs in its own order.
                    const Job& j = jobs[(k + t * 3) % jobs.size()];
                    results[t].push_back(call(j.params, j.matrix, j.rows, j.aggressors, j.si, kBitTime));
                }
        });
    }
    for (std::thread& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(results[t].size(), jobs.size() * kRounds);
        for (size_t i = 0; i < results[t].size(); ++i) {
            const size_t k = (i % jobs.size() + t * 3) % jobs.size();
            const Result& a = results[t][i];
            const Result& b = sequential[k];
            EXPECT_EQ(a.ret, b.ret) << "thread " << t << " job " << k;
            EXPECT_EQ(a.msg, b.msg) << "thread " << t << " job " << k;
            EXPECT_EQ(a.matrix, b.matrix) << "thread " << t << " job " << k;
            EXPECT_EQ(a.closeRet, b.closeRet);
        }
    }
}

TEST(AmiLibrary, ThousandInitCloseCyclesLeakNothing)
{
    ASSERT_EQ(library().error, "");
    const long rows = 256;
    const std::vector<double> one = lossyChannel(rows, 0.4, 1.0);
    std::vector<double> ch = one;
    ch.insert(ch.end(), one.begin(), one.end());  // through channel and one aggressor
    const std::string good = params(0, 7, 0), bad = params(0, 7, 8), missingParam = "(VELMOR7700X)";
    auto cycle = [&](int i) {
        const std::string& p = i % 10 == 3 ? bad : (i % 10 == 7 ? missingParam : good);
        const Result r = call(p, ch, rows, i % 2, kSampleInterval, kBitTime);
        return r.ret;
    };
    // Warm up: the first calls fill one-time tables of the runtime.
    for (int i = 0; i < 20; ++i)
        cycle(i);
#if defined(VM_TEST_ASAN)
    for (int i = 0; i < 1000; ++i)
        cycle(i);
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#else
    const size_t before = mallinfo2().uordblks;
    long ok = 0;
    for (int i = 0; i < 1000; ++i)
        ok += cycle(i);
    const size_t after = mallinfo2().uordblks;
    EXPECT_EQ(ok, 800);
    // Allocated bytes in use do not grow with the number of cycles (a leak
    // of even the smallest instance would add > 100 kB over 1000 cycles).
    EXPECT_LT(after, before + 64 * 1024) << "before " << before << " after " << after;
#endif
}
