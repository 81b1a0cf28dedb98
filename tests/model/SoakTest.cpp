// Long runs of the shared library as a simulator drives it: many AMI_Init /
// AMI_Close cycles over every corner, state and AutoInit setting without the
// process growing, and many concurrent calls giving exactly the results of
// the same calls made one after another.
//
// Both tests run under the name filter '*Soak*'. Their sizes can be cut for
// slow builds: VM_SOAK_CYCLES (default 10000, 1000 under AddressSanitizer)
// and VM_SOAK_THREAD_CALLS (calls per thread, default 500, 100 under
// ThreadSanitizer). The threaded test's name starts with "Threads" so that
// the ThreadSanitizer script's filter picks it up.
#include <gtest/gtest.h>

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/model/AmiTestHost.h"

#if defined(__SANITIZE_ADDRESS__)
#define VM_SOAK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VM_SOAK_ASAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define VM_SOAK_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VM_SOAK_TSAN 1
#endif
#endif
#ifdef VM_SOAK_ASAN
#include <sanitizer/lsan_interface.h>
#endif

using namespace amitest;

namespace {

long envCount(const char* name, long fallback)
{
    const char* v = std::getenv(name);
    if (v == nullptr || *v == '\0')
        return fallback;
    char* end = nullptr;
    const long n = std::strtol(v, &end, 10);
    return (end != v && n > 0) ? n : fallback;
}

// Resident set size of this process, in bytes.
size_t residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    size_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Heap bytes in use (small blocks and mapped ones).
size_t heapBytesInUse()
{
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

const long kRows = 256;

// Three columns of a short channel: the through channel and two weaker,
// later aggressors. Callers pass the first 1..3 of them.
std::vector<double> threeColumns(double tauUI)
{
    std::vector<double> m = lossyChannel(kRows, tauUI, 1.0);
    for (int c = 1; c < 3; ++c) {
        const std::vector<double> a = lossyChannel(kRows, tauUI + 0.3 * c, 1.5 + c, 3, 0.05);
        m.insert(m.end(), a.begin(), a.end());
    }
    return m;
}

struct Call {
    std::string params;
    long aggressors = 0;
    bool expectSuccess = true;
};

// Cycle i of the soak: every corner and every state with AutoInit 0 and 1
// (160 calls per round), and in between the other AutoInit settings and
// calls the model refuses.
Call soakCall(long i)
{
    Call c;
    const int corner = static_cast<int>(i % 5);
    const int state = static_cast<int>((i / 5) % 16);
    const int autoInit = static_cast<int>((i / 80) % 2);
    c.aggressors = i % 3;
    switch (i % 13) {
    case 5:  // a negative AutoInit: no search, the given state
        c.params = params(-1, state, corner);
        break;
    case 7:  // AutoInit out of range: Setup refuses it
        c.params = params(2, state, corner);
        c.expectSuccess = false;
        break;
    case 9:  // no process corner of that number
        c.params = params(autoInit, state, 5 + corner);
        c.expectSuccess = false;
        break;
    case 11:  // a parameter missing
        c.params = "(VELMOR7700X (AutoInit 1))";
        c.expectSuccess = false;
        break;
    default:
        c.params = params(autoInit, state, corner, i % 2 ? "0.8" : nullptr);
        break;
    }
    return c;
}

bool sameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

}  // namespace

TEST(Soak, InitCloseCyclesKeepResidentMemoryFlat)
{
    ASSERT_EQ(library().error, "");
#ifdef VM_SOAK_ASAN
    const long cycles = envCount("VM_SOAK_CYCLES", 1000);
#else
    const long cycles = envCount("VM_SOAK_CYCLES", 10000);
#endif
    const std::vector<double> matrix = threeColumns(0.6);
    long wrongResults = 0;
    auto cycle = [&](long i) {
        const Call c = soakCall(i);
        std::vector<double> m(matrix.begin(), matrix.begin() + (c.aggressors + 1) * kRows);
        const Result r = call(c.params, m, kRows, c.aggressors, kSampleInterval, kBitTime);
        if (r.ret != (c.expectSuccess ? 1 : 0) || r.closeRet != 1 || r.msg.empty())
            ++wrongResults;
    };

    // Warm-up: one full round of corners, states and AutoInit settings, so
    // that every one-time table and the allocator's arenas are in place.
    const long warmUp = cycles < 400 ? cycles / 2 : 200;
    for (long i = 0; i < warmUp; ++i)
        cycle(i);
    const size_t residentBefore = residentBytes();
    const size_t heapBefore = heapBytesInUse();
    size_t residentPeak = residentBefore;
    for (long i = warmUp; i < cycles; ++i) {
        cycle(i);
        if (i % 500 == 0)
            residentPeak = std::max(residentPeak, residentBytes());
    }
    const size_t residentAfter = residentBytes();
    const size_t heapAfter = heapBytesInUse();
    residentPeak = std::max(residentPeak, residentAfter);

    EXPECT_EQ(wrongResults, 0) << "calls that did not give the expected result";
    std::printf("[ soak     ] %ld cycles; resident %zu kB after warm-up, %zu kB at the end, peak %zu kB; "
                "heap in use %zu -> %zu bytes\n",
                cycles, residentBefore / 1024, residentAfter / 1024, residentPeak / 1024, heapBefore,
                heapAfter);
#ifdef VM_SOAK_ASAN
    // The sanitizer's allocator keeps freed memory in quarantine, so the
    // resident size says nothing here; its leak checker does the job.
    EXPECT_EQ(__lsan_do_recoverable_leak_check(), 0);
#else
    // A leak of one model instance per cycle would add megabytes; allow the
    // allocator some slack in resident pages, very little in bytes in use.
    EXPECT_LT(residentAfter, residentBefore + 4 * 1024 * 1024);
    EXPECT_LT(residentPeak, residentBefore + 8 * 1024 * 1024);
    EXPECT_LT(heapAfter, heapBefore + 64 * 1024);
#endif
}

TEST(AmiLibrary, ThreadsSoakMatchSequentialCalls)
{
    ASSERT_EQ(library().error, "");
#ifdef VM_SOAK_TSAN
    const long callsPerThread = envCount("VM_SOAK_THREAD_CALLS", 100);
#else
    const long callsPerThread = envCount("VM_SOAK_THREAD_CALLS", 500);
#endif
    const int kThreads = 8;

    // Distinct calls: every corner with AutoInit 1 and with AutoInit 0 in two
    // states, different channels and aggressor counts, and refused calls.
    struct Job {
        Call call;
        std::vector<double> matrix;
        double sampleInterval;
    };
    std::vector<Job> jobs;
    for (int k = 0; k < 40; ++k) {
        Job j;
        j.call = soakCall(k * 7 + k / 5);
        const std::vector<double> m = threeColumns(0.3 + 0.1 * (k % 9));
        j.matrix.assign(m.begin(), m.begin() + (j.call.aggressors + 1) * kRows);
        j.sampleInterval = k % 4 == 3 ? kBitTime / 31.6 : kSampleInterval;
        jobs.push_back(j);
    }
    std::vector<Result> reference;
    long successes = 0;
    for (const Job& j : jobs) {
        reference.push_back(
            call(j.call.params, j.matrix, kRows, j.call.aggressors, j.sampleInterval, kBitTime));
        successes += reference.back().ret;
    }
    ASSERT_GT(successes, 10);
    ASSERT_LT(successes, static_cast<long>(jobs.size()));

    std::atomic<int> ready{0};
    std::vector<long> mismatches(kThreads, 0), done(kThreads, 0);
    std::vector<std::string> firstMismatch(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ready.fetch_add(1);
            while (ready.load() < kThreads)
                std::this_thread::yield();
            for (long k = 0; k < callsPerThread; ++k) {
                // Each thread walks the jobs in its own order.
                const size_t index = static_cast<size_t>(t * 11 + k * (2 * t + 3)) % jobs.size();
                const Job& j = jobs[index];
                const Result r =
                    call(j.call.params, j.matrix, kRows, j.call.aggressors, j.sampleInterval, kBitTime);
                const Result& e = reference[index];
                if (r.ret != e.ret || r.closeRet != e.closeRet || r.msg != e.msg ||
                    !sameBits(r.matrix, e.matrix)) {
                    if (mismatches[t]++ == 0)
                        firstMismatch[t] = "job " + std::to_string(index) + " call " + std::to_string(k) +
                                           ": message\n" + r.msg + "expected\n" + e.msg;
                }
                ++done[t];
            }
        });
    }
    for (std::thread& th : threads)
        th.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(done[t], callsPerThread);
        EXPECT_EQ(mismatches[t], 0) << "thread " << t << ", first: " << firstMismatch[t];
    }
}
