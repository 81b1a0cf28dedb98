// Out of memory at every allocation of an AMI_Init/AMI_Close pair.
//
// This program replaces the C library's allocator with a thin counting layer
// over it, so that the N-th allocation made after arming fails. For a few
// representative calls it first makes the call unfailed and counts its
// allocations, then, for every N, makes the same call in a child process with
// the N-th allocation failing. Each child must end on its own (no crash, no
// abort, no hang), free everything it allocated, and either return 0 with a
// message, or return 1 with exactly the outputs and the message of the
// unfailed call: a model that ran out of memory may fail, but must never
// report a half-done run as a success or take the simulator down.
//
// The allocator is the program's own, so this file is a separate test
// program, built only without the sanitizers (which bring their own).
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
void* __libc_malloc(size_t);
void __libc_free(void*);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

namespace {

// The counting layer's state. Only one thread allocates while it is armed.
bool gArmed = false;
long gCount = 0;   // allocations since arming
long gFailAt = 0;  // the allocation that fails (1-based); 0: none
long gLive = 0;    // allocations minus frees since arming

bool failThis()
{
    if (!gArmed)
        return false;
    return ++gCount == gFailAt;
}

void arm(long failAt)
{
    gCount = 0;
    gFailAt = failAt;
    gLive = 0;
    gArmed = true;
}

}  // namespace

extern "C" {
void* malloc(size_t n)
{
    if (failThis())
        return nullptr;
    void* p = __libc_malloc(n);
    if (p != nullptr && gArmed)
        ++gLive;
    return p;
}

void free(void* p)
{
    if (p != nullptr && gArmed)
        --gLive;
    __libc_free(p);
}

void* calloc(size_t n, size_t size)
{
    if (failThis())
        return nullptr;
    void* p = __libc_calloc(n, size);
    if (p != nullptr && gArmed)
        ++gLive;
    return p;
}

void* realloc(void* old, size_t n)
{
    if (old != nullptr && n == 0) {
        free(old);
        return nullptr;
    }
    if (failThis())
        return nullptr;
    void* p = __libc_realloc(old, n);
    if (p != nullptr && old == nullptr && gArmed)
        ++gLive;
    return p;
}

void* memalign(size_t alignment, size_t n)
{
    if (failThis())
        return nullptr;
    void* p = __libc_memalign(alignment, n);
    if (p != nullptr && gArmed)
        ++gLive;
    return p;
}

void* aligned_alloc(size_t alignment, size_t n)
{
    return memalign(alignment, n);
}

int posix_memalign(void** out, size_t alignment, size_t n)
{
    void* p = memalign(alignment, n);
    if (p == nullptr)
        return 12;  // ENOMEM
    *out = p;
    return 0;
}
}

namespace {

typedef long (*InitFn)(double*, long, long, double, double, char*, char**, void**, char**);
typedef long (*CloseFn)(void*);

const double kBitTime = 78.125e-12;
const double kSampleInterval = kBitTime / 32;

struct SweepCall {
    const char* name;
    long rows;
    long aggressors;
    const char* params;
    // The call is the first of a freshly loaded library, so that what the
    // library fills once per process is swept too. Such a call keeps what it
    // fills, so its leaks are not counted.
    bool firstCall = false;
};

// Test names and failure reports show the call's name.
void PrintTo(const SweepCall& call, std::ostream* os)
{
    *os << call.name;
}

// A copy of the library under another name: dlopen loads it as a library of
// its own, with statics that no call has filled yet.
std::string copyOfLibrary(const char* tag)
{
    const std::string path = "/tmp/velmor-alloc-sweep-" + std::to_string(getpid()) + "-" + tag + ".so";
    FILE* in = std::fopen(VM_SHARED_LIBRARY, "rb");
    FILE* out = std::fopen(path.c_str(), "wb");
    bool ok = in != nullptr && out != nullptr;
    char buffer[65536];
    size_t n = 0;
    while (ok && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        ok = std::fwrite(buffer, 1, n, out) == n;
    if (in != nullptr)
        std::fclose(in);
    if (out != nullptr && std::fclose(out) != 0)
        ok = false;
    return ok ? path : std::string();
}

bool loadLibrary(const std::string& path, InitFn& init, CloseFn& close)
{
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr)
        return false;
    init = reinterpret_cast<InitFn>(dlsym(h, "AMI_Init"));
    close = reinterpret_cast<CloseFn>(dlsym(h, "AMI_Close"));
    return init != nullptr && close != nullptr;
}

// A lossy pulse (V/s) with no exact zeros after its start; aggressor k is the
// through channel scaled by 1/(10 k) and delayed.
std::vector<double> testMatrix(long rows, long aggressors)
{
    std::vector<double> m(static_cast<size_t>(rows * (aggressors + 1)));
    for (long c = 0; c <= aggressors; ++c)
        for (long i = 0; i < rows; ++i) {
            const double t = i / 32.0 - 1.0 - 0.37 * c;
            const double h = t > 0 ? t * std::exp(-t / 1.4) / 1.96 : 0.0;
            m[static_cast<size_t>(c * rows + i)] = h / kSampleInterval / 32.0 / (c > 0 ? 10.0 * c : 1.0);
        }
    return m;
}

struct Outcome {
    long ret = -1;
    long closeRet = -1;
    bool msgNull = true;
    std::string msg;
    std::vector<double> matrix;
    long allocations = 0;
    long live = 0;
};

// One Init/Close pair with the failAt-th allocation failing (0: none). The
// outcome is copied with the counting layer disarmed; Close is armed again,
// counting on, so that its allocations are swept too.
Outcome callOnce(InitFn init, CloseFn close, const SweepCall& call, long failAt)
{
    Outcome o;
    o.matrix = testMatrix(call.rows, call.aggressors);
    std::vector<char> params(call.params, call.params + std::strlen(call.params) + 1);
    char* msg = nullptr;
    void* handle = nullptr;
    double* data = o.matrix.data();
    char* text = params.data();

    arm(failAt);
    o.ret = init(data, call.rows, call.aggressors, kSampleInterval, kBitTime, text, nullptr, &handle, &msg);
    gArmed = false;
    const long counted = gCount, live = gLive;
    o.msgNull = msg == nullptr;
    if (msg != nullptr)
        o.msg = msg;

    gCount = counted;
    gLive = live;
    gArmed = true;
    if (handle != nullptr)
        o.closeRet = close(handle);
    gArmed = false;
    o.allocations = gCount;
    o.live = gLive;
    return o;
}

// What a child reports through its exit status.
enum ChildResult {
    kGood = 0,
    kWrongSuccess = 10,   // returned 1 with other outputs or another message
    kSilentFailure = 11,  // returned 0 without a message
    kLeak = 12,           // allocations not freed after Close
    kBadReturn = 13,      // neither 0 nor 1
};

const char* describe(int code)
{
    switch (code) {
    case kWrongSuccess:
        return "returned 1 with outputs or a message other than the unfailed call's";
    case kSilentFailure:
        return "returned 0 without a message";
    case kLeak:
        return "did not free everything it allocated";
    case kBadReturn:
        return "returned neither 0 nor 1";
    case 14:
        return "could not load the library copy";
    default:
        return "ended with an unexpected exit status";
    }
}

class AllocationFailureSweep : public ::testing::TestWithParam<SweepCall> {
protected:
    static void SetUpTestSuite()
    {
        handle = dlopen(VM_SHARED_LIBRARY, RTLD_NOW | RTLD_LOCAL);
        if (handle != nullptr) {
            init = reinterpret_cast<InitFn>(dlsym(handle, "AMI_Init"));
            close = reinterpret_cast<CloseFn>(dlsym(handle, "AMI_Close"));
        }
    }
    static void* handle;
    static InitFn init;
    static CloseFn close;
};

void* AllocationFailureSweep::handle = nullptr;
InitFn AllocationFailureSweep::init = nullptr;
CloseFn AllocationFailureSweep::close = nullptr;

TEST_P(AllocationFailureSweep, EveryAllocationFailsCleanly)
{
    ASSERT_NE(init, nullptr) << dlerror();
    ASSERT_NE(close, nullptr);
    const SweepCall& call = GetParam();
    std::string childCopy;
    InitFn refInit = init;
    CloseFn refClose = close;
    if (call.firstCall) {
        // One copy counts the first call's allocations here; the children
        // load another, untouched one.
        const std::string refCopy = copyOfLibrary("ref");
        childCopy = copyOfLibrary("child");
        ASSERT_FALSE(refCopy.empty() || childCopy.empty()) << "cannot copy the library to /tmp";
        ASSERT_TRUE(loadLibrary(refCopy, refInit, refClose)) << dlerror();
        unlink(refCopy.c_str());
    }

    // The first calls fill what the library keeps for the whole process; the
    // sweep is about what one call allocates. That includes the C++ runtime's
    // per-thread exception data, made on the thread's first throw: a row
    // count no vector can hold makes the library throw and catch once.
    {
        char params[] = "(VELMOR7700X (AutoInit 0) (PreEmphasis 0) (CornerCase 0))";
        char* msg = nullptr;
        void* h = nullptr;
        double sample = 0.0;
        EXPECT_EQ(
            init(&sample, 4611686018427387904L, -1, kSampleInterval, kBitTime, params, nullptr, &h, &msg), 0);
        if (h != nullptr)
            close(h);
    }
    if (!call.firstCall)
        callOnce(init, close, call, 0);
    const Outcome ref = callOnce(refInit, refClose, call, 0);
    ASSERT_FALSE(ref.msgNull);
    if (!call.firstCall) {
        ASSERT_EQ(ref.live, 0) << "the unfailed call does not free what it allocates";
    }
    ASSERT_GT(ref.allocations, 10);

    int returnedZero = 0, returnedOne = 0;
    std::vector<std::string> faults;
    for (long k = 1; k <= ref.allocations; ++k) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            alarm(60);  // a hang ends as SIGALRM
            InitFn childInit = init;
            CloseFn childClose = close;
            if (call.firstCall && !loadLibrary(childCopy, childInit, childClose))
                _exit(14);
            const Outcome o = callOnce(childInit, childClose, call, k);
            int code = kGood;
            if (o.ret == 1) {
                const bool same =
                    !o.msgNull && o.msg == ref.msg &&
                    std::memcmp(o.matrix.data(), ref.matrix.data(), o.matrix.size() * sizeof(double)) == 0;
                if (!same)
                    code = kWrongSuccess;
            } else if (o.ret == 0) {
                if (o.msgNull || o.msg.empty())
                    code = kSilentFailure;
            } else {
                code = kBadReturn;
            }
            if (code == kGood && o.live != 0 && !call.firstCall)
                code = kLeak;
            if (code == kGood)
                code = static_cast<int>(o.ret);  // 0 or 1, for the tally
            _exit(code == 0 ? 100 : code == 1 ? 101 : code);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        std::string fault;
        if (WIFSIGNALED(status)) {
            fault = std::string("ended by signal ") + strsignal(WTERMSIG(status));
        } else if (WEXITSTATUS(status) == 100) {
            ++returnedZero;
        } else if (WEXITSTATUS(status) == 101) {
            ++returnedOne;
        } else {
            fault = describe(WEXITSTATUS(status));
        }
        if (!fault.empty())
            faults.push_back("allocation " + std::to_string(k) + ": " + fault);
    }
    if (!childCopy.empty())
        unlink(childCopy.c_str());
    std::string all;
    for (const std::string& f : faults)
        all += f + "\n";
    EXPECT_TRUE(faults.empty()) << call.name << ", " << ref.allocations << " allocations:\n" << all;
    // Failing an allocation must fail the call somewhere: if every site
    // still returned 1 the counting layer would not be reaching the library.
    EXPECT_GT(returnedZero, 0);
    std::printf("%s: %ld allocation sites, %d failed cleanly with 0, %d succeeded unchanged\n", call.name,
                ref.allocations, returnedZero, returnedOne);
}

INSTANTIATE_TEST_SUITE_P(
    RepresentativeCalls, AllocationFailureSweep,
    ::testing::Values(
        SweepCall{"AutoInit1_TwoAggressors", 2048, 2,
                  "(VELMOR7700X (AutoInit 1) (PreEmphasis 0) (CornerCase 0) (OutputGain 1.0))"},
        SweepCall{"AutoInit0_OneAggressor", 1024, 1,
                  "(VELMOR7700X (AutoInit 0) (PreEmphasis 9) (CornerCase 2) (OutputGain 0.8))"},
        SweepCall{"FailingParameter", 512, 1, "(VELMOR7700X (AutoInit 0) (PreEmphasis 16) (CornerCase 0))"},
        SweepCall{"MissingCornerTable", 512, 0, "(VELMOR7700X (AutoInit 1) (PreEmphasis 3) (CornerCase 7))"},
        SweepCall{"FirstCallOfTheProcess", 1024, 1,
                  "(VELMOR7700X (AutoInit 1) (PreEmphasis 0) (CornerCase 1))", true}),
    [](const ::testing::TestParamInfo<SweepCall>& info) { return std::string(info.param.name); });

}  // namespace
