#include "dsp/MatrixMath.h"

#include <cstddef>
#include <new>

namespace Veltramodels20200612 {

// Expands along the first row. The minors of every recursion level live in
// one slab: level k (a k x k matrix) needs (k-1)^2 values, so the whole
// expansion of an n x n matrix needs sum_{k=2..n} (k-1)^2 doubles, taken
// front to back as the recursion goes down.
double MatrixMath::expand(const double* a, int n, double* work)
{
    if (n == 1) {
        return a[0];
    }
    if (n == 2) {
        return a[0] * a[3] - a[1] * a[2];
    }
    const int m = n - 1;
    double* minor = work;
    double* deeper = work + m * m;
    double det = 0.0;
    double sign = 1.0;
    for (int col = 0; col < n; ++col) {
        const double pivot = a[col];
        if (pivot != 0.0) {
            for (int r = 1; r < n; ++r) {
                double* dst = minor + (r - 1) * m;
                const double* src = a + r * n;
                for (int c = 0, k = 0; c < n; ++c) {
                    if (c != col) {
                        dst[k++] = src[c];
                    }
                }
            }
            det += sign * pivot * expand(minor, m, deeper);
        }
        sign = -sign;
    }
    return det;
}

bool MatrixMath::MatrixDeterminant(const double* matrix, int n, double& determinant)
{
    determinant = 0.0;
    if (n < 0 || (n > 0 && matrix == nullptr)) {
        return false;
    }
    if (n == 0) {
        determinant = 1.0;
        return true;
    }
    if (n <= 2) {
        determinant = expand(matrix, n, nullptr);
        return true;
    }

    // Working storage for all minors. Small systems (the curve fits use
    // 4 x 4) stay on the stack; larger ones go to the heap.
    long long need = 0;
    for (long long k = 2; k <= n; ++k) {
        need += (k - 1) * (k - 1);
    }
    double local[64];
    double* work = local;
    double* owned = nullptr;
    if (need > 64) {
        owned = new (std::nothrow) double[static_cast<std::size_t>(need)];
        if (owned == nullptr) {
            return false;
        }
        work = owned;
    }
    determinant = expand(matrix, n, work);
    delete[] owned;
    return true;
}

}  // namespace Veltramodels20200612
