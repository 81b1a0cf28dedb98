#include "dsp/SampleVectors.h"

#include <cmath>
#include <cstddef>
#include <cstring>

namespace Veltramodels20200612 {

bool SampleVectors::same(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool SampleVectors::largestIsNegative(const std::vector<double>& v)
{
    double largest = 0.0;
    double value = 0.0;
    for (double s : v) {
        if (std::fabs(s) > largest) {
            largest = std::fabs(s);
            value = s;
        }
    }
    return value < 0.0;
}

std::size_t SampleVectors::trimZeros(std::vector<double>& v)
{
    size_t end = v.size();
    while (end > 1 && v[end - 1] == 0.0)
        --end;
    v.resize(end);
    size_t start = 0;
    while (start + 1 < v.size() && v[start] == 0.0)
        ++start;
    if (start > 0)
        v.erase(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(start));
    return start;
}

std::int64_t SampleVectors::firstNonzero(const std::vector<double>& v)
{
    for (size_t i = 0; i < v.size(); ++i)
        if (v[i] != 0.0)
            return static_cast<std::int64_t>(i);
    return -1;
}

std::int64_t SampleVectors::lastNonzero(const std::vector<double>& v)
{
    for (size_t i = v.size(); i-- > 0;)
        if (v[i] != 0.0)
            return static_cast<std::int64_t>(i);
    return -1;
}

void SampleVectors::negate(std::vector<double>& v)
{
    for (double& s : v)
        s = -s;
}

}  // namespace Veltramodels20200612
