// The host tool's Touchstone reader on arbitrary text, and, for what it
// accepts, the conversion to impulse columns.
//
// Input layout: one byte choosing the port count the file name would give
// (0: a .ts file, else 1, 2, 4 or 8), then the file's text. Accepted networks
// must be well formed (port count, one matrix per increasing frequency, one
// reference per port), and their columns finite.

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/ami-host/SParameterChannel.h"
#include "tools/ami-host/TouchstoneFile.h"

using namespace amihost;

namespace {

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const int choices[] = {0, 1, 2, 4, 8};
    const int ports = choices[data[0] % 5];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    TouchstoneNetwork net;
    std::string error;
    if (!TouchstoneFile::Parse(text, "f.s" + std::to_string(ports) + "p", ports, net, error)) {
        check(!error.empty() && error.find('\n') == std::string::npos);
        return 0;
    }
    check(net.Ports >= 1 && net.Ports <= TouchstoneFile::kMaxPorts);
    check(ports == 0 || net.Ports == ports);
    check(!net.Frequencies.empty() && net.S.size() == net.Frequencies.size());
    check(net.Reference.size() == static_cast<size_t>(net.Ports));
    for (size_t k = 0; k < net.Frequencies.size(); ++k) {
        check(net.Frequencies[k] >= 0.0 && (k == 0 || net.Frequencies[k] > net.Frequencies[k - 1]));
        check(net.S[k].size() == static_cast<size_t>(net.Ports * net.Ports));
    }
    // The conversion, on grids small enough to keep the fuzzer fast.
    const double dt = 1.0 / (12.8e9 * 32);
    if (net.Frequencies.size() < 2 || SParameterChannel::fftLength(net.Frequencies, dt) > 16384)
        return 0;
    SParameterChannel sp;
    std::vector<std::vector<double>> columns;
    std::vector<std::string> summary;
    if (!sp.Build(net, "f", dt, columns, summary, error))
        return 0;
    bool finiteInput = true;
    for (const std::vector<std::complex<double>>& m : net.S)
        for (const std::complex<double>& v : m)
            finiteInput = finiteInput && std::abs(v) < 1e100;
    for (const std::vector<double>& c : columns)
        for (double v : c)
            check(!finiteInput || std::isfinite(v));
    return 0;
}
