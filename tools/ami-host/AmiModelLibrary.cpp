#include "tools/ami-host/AmiModelLibrary.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace amihost {

// The library stays loaded until the process ends, as in simulators: a model
// that carries its own static C++ runtime allocates that runtime's exception
// pool at load time and never frees it, so every unload and reload would lose
// it. Loading the same file again just returns the loaded library.
AmiModelLibrary::~AmiModelLibrary() = default;

bool AmiModelLibrary::Load(const std::string& path, std::string& error)
{
    if (handle_ != nullptr) {
        error = "a model library is already loaded";
        return false;
    }
#if defined(_WIN32)
    HMODULE h = LoadLibraryA(path.c_str());
    if (h == nullptr) {
        error =
            "cannot load model library '" + path + "' (Windows error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    // GetProcAddress returns a generic function pointer; going through
    // void* keeps the conversion to the AMI signatures explicit.
    void* init = reinterpret_cast<void*>(GetProcAddress(h, "AMI_Init"));
    void* close = reinterpret_cast<void*>(GetProcAddress(h, "AMI_Close"));
#else
    // A path without a slash would make dlopen search the system's library
    // path instead of the file the user named.
    const std::string file = path.find('/') == std::string::npos ? "./" + path : path;
    void* h = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) {
        const char* e = dlerror();
        error = "cannot load model library '" + path + "': " + (e ? e : "unknown error");
        return false;
    }
    void* init = dlsym(h, "AMI_Init");
    void* close = dlsym(h, "AMI_Close");
#endif
    if (init == nullptr || close == nullptr) {
        error = "model library '" + path + "' does not export " +
                (init == nullptr && close == nullptr ? "AMI_Init and AMI_Close"
                 : init == nullptr                   ? "AMI_Init"
                                                     : "AMI_Close");
#if defined(_WIN32)
        FreeLibrary(h);
#else
        dlclose(h);
#endif
        return false;
    }
    handle_ = h;
    init_ = reinterpret_cast<InitFunction>(init);
    close_ = reinterpret_cast<CloseFunction>(close);
    return true;
}

AmiCallResult AmiModelLibrary::Call(std::vector<double>& matrix, long rows, long aggressors,
                                    double sampleInterval, double bitTime,
                                    const std::string& parameters) const
{
    AmiCallResult r;
    if (init_ == nullptr)
        return r;
    // The model gets a writable copy of the string, as the signature allows it.
    std::vector<char> in(parameters.begin(), parameters.end());
    in.push_back('\0');
    char* out = nullptr;
    char* msg = nullptr;
    void* memory = nullptr;
    r.InitReturn = init_(matrix.empty() ? nullptr : matrix.data(), rows, aggressors, sampleInterval, bitTime,
                         in.data(), &out, &memory, &msg);
    r.MessageNull = msg == nullptr;
    if (msg != nullptr)
        r.Message = msg;
    r.ParametersOutSet = out != nullptr;
    if (out != nullptr)
        r.ParametersOut = out;
    r.HandleNull = memory == nullptr;
    if (memory != nullptr) {
        r.CloseReturn = close_(memory);
        r.Closed = true;
    }
    return r;
}

}  // namespace amihost
