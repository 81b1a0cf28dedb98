// An IBIS-AMI model library loaded the way a channel simulator loads it:
// dlopen / LoadLibrary, then only the C entry points AMI_Init and AMI_Close.
#ifndef VM_TOOLS_AMI_HOST_AMIMODELLIBRARY_H
#define VM_TOOLS_AMI_HOST_AMIMODELLIBRARY_H

#include <string>
#include <vector>

namespace amihost {

struct AmiCallResult {
    long InitReturn = 0;
    bool MessageNull = true;
    std::string Message;
    bool ParametersOutSet = false;
    std::string ParametersOut;
    bool HandleNull = true;
    bool Closed = false;  // AMI_Close was called (only with a non-null handle)
    long CloseReturn = 0;
};

class AmiModelLibrary {
public:
    typedef long (*InitFunction)(double*, long, long, double, double, char*, char**, void**, char**);
    typedef long (*CloseFunction)(void*);

    AmiModelLibrary() = default;
    AmiModelLibrary(const AmiModelLibrary&) = delete;
    AmiModelLibrary& operator=(const AmiModelLibrary&) = delete;
    ~AmiModelLibrary();  // leaves the library loaded (see the .cpp)

    bool Load(const std::string& path, std::string& error);
    bool loaded() const { return init_ != nullptr; }
    // AMI_Init on the column-major matrix ((aggressors + 1) columns of rows
    // samples, rewritten in place), then, when the model returned a handle,
    // AMI_Close. The message and the output parameters are copied before the
    // close, as the model owns them until then.
    AmiCallResult Call(std::vector<double>& matrix, long rows, long aggressors, double sampleInterval,
                       double bitTime, const std::string& parameters) const;

private:
    void* handle_ = nullptr;
    InitFunction init_ = nullptr;
    CloseFunction close_ = nullptr;
};

}  // namespace amihost

#endif
