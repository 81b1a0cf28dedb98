// A stand-in Init-only IBIS-AMI transmitter for the host tool's tests: a
// two-tap de-emphasis FIR with a known response, so the tests can predict
// every output sample.
//
//   y[n] = OutputGain * ((1 - a) x[n] - a x[n - spb]),  a = state / 40,
//   spb = (int)(bit_time / sample_interval + 0.5).
//
// With AutoInit 1 the state is 4 + CornerCase; with AutoInit 0 it is
// PreEmphasis, which must lie in 0..15 (else AMI_Init returns 0 and says so).
#include <cstdlib>
#include <cstring>
#include <string>

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

struct Instance {
    std::string message;
};

bool readNumber(const char* params, const char* name, double& value)
{
    const std::string key = std::string("(") + name + " ";
    const char* at = params != nullptr ? std::strstr(params, key.c_str()) : nullptr;
    if (at == nullptr)
        return false;
    char* end = nullptr;
    value = std::strtod(at + key.size(), &end);
    return end != at + key.size();
}

}  // namespace

FAKE_EXPORT long AMI_Init(double* matrix, long rows, long aggressors, double sampleInterval, double bitTime,
                          char* params, char** paramsOut, void** handle, char** msg)
{
    (void)paramsOut;
    Instance* inst = new Instance;
    *handle = inst;
    double autoInit = 0, state = 0, corner = 0, gain = 1.0;
    bool ok = readNumber(params, "AutoInit", autoInit) && readNumber(params, "PreEmphasis", state) &&
              readNumber(params, "CornerCase", corner);
    readNumber(params, "OutputGain", gain);
    const long spb = static_cast<long>(bitTime / sampleInterval + 0.5);
    if (!ok) {
        inst->message = "Fake: a parameter is missing\n";
    } else {
        if (autoInit != 0)
            state = 4 + corner;
        inst->message = "Fake Tx model\nCornerCase = " + std::to_string(static_cast<long>(corner)) + "\n";
        if (state < 0 || state > 15) {
            inst->message += "Fake: PreEmphasis out of range\n";
            ok = false;
        } else if (spb < 2) {
            inst->message += "Fake: fewer than 2 samples per bit\n";
            ok = false;
        } else {
            inst->message += (autoInit != 0 ? "AutoInit found PreEmphasis state = "
                                            : "The selected PreEmphasis state = ") +
                             std::to_string(static_cast<long>(state)) + "\n";
        }
    }
    if (ok) {
        const double a = state / 40.0;
        for (long c = 0; c <= aggressors; ++c) {
            double* x = matrix + c * rows;
            for (long n = rows - 1; n >= 0; --n)
                x[n] = gain * ((1.0 - a) * x[n] - (n >= spb ? a * x[n - spb] : 0.0));
        }
    }
    *msg = const_cast<char*>(inst->message.c_str());
    return ok ? 1 : 0;
}

FAKE_EXPORT long AMI_Close(void* handle)
{
    delete static_cast<Instance*>(handle);
    return 1;
}
