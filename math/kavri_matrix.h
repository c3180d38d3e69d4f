// 3x3 double matrices built by successive rotations, applied to row vectors
// (v * M), and a double-precision linear range map.
#pragma once

struct matrix9 {
    double m[9];  // row by row: element (r, c) is m[3r + c]
};

struct vector3 {
    double v[3];
};

void initMatrix(matrix9* matrix);
void applyMatrixToVector(vector3* vector, const matrix9* matrix);   // vector := vector * matrix
void applyMatrixToMatrix(matrix9* matrix, const matrix9* other);    // matrix := matrix * other; may alias
void rotateMatrixX(matrix9* matrix, double angle);                  // radians
void rotateMatrixY(matrix9* matrix, double angle);
void rotateMatrixZ(matrix9* matrix, double angle);
// ((out_high - out_low) / (in_high - in_low)) * (value - in_low) + out_low,
// unclamped; equal input bounds give the division's infinity or NaN.
double mapRange(double value, double in_low, double in_high, double out_low, double out_high);
