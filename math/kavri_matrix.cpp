#include "math/kavri_matrix.h"

#include <cmath>

void initMatrix(matrix9* matrix) {
    for (double& e : matrix->m) e = 0;
    matrix->m[0] = matrix->m[4] = matrix->m[8] = 1;
}

void applyMatrixToVector(vector3* vector, const matrix9* matrix) {
    const double v0 = vector->v[0], v1 = vector->v[1], v2 = vector->v[2];
    const double* M = matrix->m;
    for (int c = 0; c < 3; ++c) vector->v[c] = v0 * M[c] + v1 * M[3 + c] + v2 * M[6 + c];
}

void applyMatrixToMatrix(matrix9* matrix, const matrix9* other) {
    const matrix9 a = *matrix, b = *other;  // both read before any write
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c)
            matrix->m[3 * r + c] = a.m[3 * r] * b.m[c] + a.m[3 * r + 1] * b.m[3 + c] + a.m[3 * r + 2] * b.m[6 + c];
}

// The full product is kept, zero entries included, so that non-finite elements
// spread as in a general product.
static void rotate(matrix9* matrix, double r00, double r01, double r02, double r10, double r11, double r12,
                   double r20, double r21, double r22) {
    const matrix9 rotation = {{r00, r01, r02, r10, r11, r12, r20, r21, r22}};
    applyMatrixToMatrix(matrix, &rotation);
}

void rotateMatrixX(matrix9* matrix, double angle) {
    const double s = std::sin(angle), c = std::cos(angle);
    rotate(matrix, 1, 0, 0, 0, c, -s, 0, s, c);
}

void rotateMatrixY(matrix9* matrix, double angle) {
    const double s = std::sin(angle), c = std::cos(angle);
    rotate(matrix, c, 0, s, 0, 1, 0, -s, 0, c);
}

void rotateMatrixZ(matrix9* matrix, double angle) {
    const double s = std::sin(angle), c = std::cos(angle);
    rotate(matrix, c, -s, 0, s, c, 0, 0, 0, 1);
}

double mapRange(double value, double in_low, double in_high, double out_low, double out_high) {
    return ((out_high - out_low) / (in_high - in_low)) * (value - in_low) + out_low;
}
