#ifndef VM_DSP_MATRIXMATH_H
#define VM_DSP_MATRIXMATH_H

namespace Veltramodels20200612 {

// Small dense-matrix helpers. Matrices are square and stored row-major.
class MatrixMath {
public:
    MatrixMath() {}

    // Determinant of the n x n matrix by cofactor expansion along the first
    // row. The cost grows as n!, which is fine for the 4 x 4 systems of the
    // curve fits that use it. Returns false (determinant left at 0) only when
    // the working storage for the minors cannot be obtained or the input is
    // unusable (null matrix, negative n). The determinant of a 0 x 0 matrix
    // is 1.
    bool MatrixDeterminant(const double* matrix, int n, double& determinant);

private:
    static double expand(const double* a, int n, double* work);
};

}  // namespace Veltramodels20200612

#endif
