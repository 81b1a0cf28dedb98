// ami-host: command-line IBIS-AMI host. See AmiHost.h.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "tools/ami-host/AmiHost.h"

namespace {

// The directory of this program: the build places the model library beside it.
std::string programDirectory(const char* argv0)
{
    std::string path;
#if defined(_WIN32)
    char buffer[MAX_PATH + 1];
    const DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    if (n > 0 && n < MAX_PATH)
        path.assign(buffer, n);
#else
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n > 0)
        path.assign(buffer, static_cast<size_t>(n));
#endif
    if (path.empty() && argv0 != nullptr)
        path = argv0;
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

}  // namespace

int main(int argc, char** argv)
{
    amihost::AmiHost host;
    host.DefaultModelPath = programDirectory(argc > 0 ? argv[0] : nullptr) + "/" AMIHOST_DEFAULT_LIBRARY_NAME;
    // The project's .ami file, or one beside the program (an installed copy).
    host.DefaultAmiPath = AMIHOST_DEFAULT_AMI;
    if (!std::ifstream(host.DefaultAmiPath)) {
        const std::string local =
            programDirectory(argc > 0 ? argv[0] : nullptr) + "/" AMIHOST_DEFAULT_AMI_NAME;
        if (std::ifstream(local))
            host.DefaultAmiPath = local;
    }
#if defined(_WIN32)
    host.ProgressOnTerminal = _isatty(_fileno(stderr)) != 0;
#else
    host.ProgressOnTerminal = isatty(fileno(stderr)) != 0;
#endif
    std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
    return host.Main(args, std::cout, std::cerr);
}
