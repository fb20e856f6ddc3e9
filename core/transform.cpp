// SPDX-License-Identifier: Apache-2.0
#include "core/transform.h"

#include <cmath>
#include <stdexcept>

namespace {

// Gauss-Jordan elimination with partial pivoting, in double.
bool Invert(const float in[4][4], float out[4][4]) {
  double a[4][8];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      a[i][j] = in[i][j];
      a[i][j + 4] = (i == j) ? 1.0 : 0.0;
    }
  for (int col = 0; col < 4; ++col) {
    int pivot = col;
    for (int row = col + 1; row < 4; ++row)
      if (std::fabs(a[row][col]) > std::fabs(a[pivot][col])) pivot = row;
    if (a[pivot][col] == 0.0 || !std::isfinite(a[pivot][col])) return false;
    for (int j = 0; j < 8; ++j) std::swap(a[col][j], a[pivot][j]);
    const double inv = 1.0 / a[col][col];
    for (int j = 0; j < 8; ++j) a[col][j] *= inv;
    for (int row = 0; row < 4; ++row) {
      if (row == col) continue;
      const double f = a[row][col];
      for (int j = 0; j < 8; ++j) a[row][j] -= f * a[col][j];
    }
  }
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) out[i][j] = float(a[i][j + 4]);
  return true;
}

}  // namespace

Transform TransformFromMatrix(const float mat[4][4]) {
  float inv[4][4];
  if (!Invert(mat, inv)) throw std::invalid_argument("TransformFromMatrix: the matrix is singular");
  return Transform(new Matrix4x4(mat), new Matrix4x4(inv));
}

Transform Translate(const Vector& delta) {
  const float mat[4][4] = {
      {1, 0, 0, delta.x}, {0, 1, 0, delta.y}, {0, 0, 1, delta.z}, {0, 0, 0, 1}};
  return TransformFromMatrix(mat);
}

Transform LookAt(const Point& eye, const Point& target, const Vector& up) {
  // Asked before any division by a zero length, which would go to Severe.
  if (eye.x == target.x && eye.y == target.y && eye.z == target.z)
    throw std::invalid_argument("LookAt: the eye and the target are the same point; no view direction");
  if (up.Length() == 0.f) throw std::invalid_argument("LookAt: the up vector is zero");
  const Vector dir = Normalize(target - eye);
  const Vector right = Cross(Normalize(up), dir);
  if (!(right.Length() > 0.f))
    throw std::invalid_argument("LookAt: the up vector is parallel to the view direction");
  const Vector r = Normalize(right);
  const Vector new_up = Cross(dir, r);
  // Columns of camera-to-world: the camera's axes and its position.
  const float cam2world[4][4] = {{r.x, new_up.x, dir.x, eye.x},
                                 {r.y, new_up.y, dir.y, eye.y},
                                 {r.z, new_up.z, dir.z, eye.z},
                                 {0, 0, 0, 1}};
  return TransformFromMatrix(cam2world).GetInverse();
}

Transform Scale(float x, float y, float z) {
  if (!(x != 0.f && y != 0.f && z != 0.f && std::isfinite(x) && std::isfinite(y) && std::isfinite(z)))
    throw std::invalid_argument("Scale: every factor must be finite and non-zero");
  const float mat[4][4] = {{x, 0, 0, 0}, {0, y, 0, 0}, {0, 0, z, 0}, {0, 0, 0, 1}};
  return TransformFromMatrix(mat);
}

Transform Compose(const Transform& a, const Transform& b) {
  float m[4][4], inv[4][4];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      double s = 0, t = 0;
      for (int k = 0; k < 4; ++k) {
        s += double(a.m->m[i][k]) * b.m->m[k][j];
        t += double(b.mInv->m[i][k]) * a.mInv->m[k][j];
      }
      m[i][j] = float(s);
      inv[i][j] = float(t);
    }
  return Transform(new Matrix4x4(m), new Matrix4x4(inv));
}
