// SPDX-License-Identifier: Apache-2.0
// The host's Transform: a matrix and its inverse, shared between copies.
// Applying it rounds every line of the row sums to float, in the order
// m0*x, then + m1*y, then + m2*z, then + m3.
#pragma once

#include "core/core.h"
#include "core/geometry.h"

class Transform {
 public:
  Transform() : m(new Matrix4x4), mInv(new Matrix4x4) {}
  Transform(const Reference<Matrix4x4>& mat, const Reference<Matrix4x4>& matInv)
      : m(mat), mInv(matInv) {}

  Transform GetInverse() const { return Transform(mInv, m); }

  // Every input coordinate is read before any output is written, so the
  // input and the output may be the same object.
  void operator()(const Point& pt, Point* ptrans) const {
    const float x = pt.x, y = pt.y, z = pt.z;
    const float xp = Row(0, x, y, z), yp = Row(1, x, y, z), zp = Row(2, x, y, z);
    const float wp = Row(3, x, y, z);
    ptrans->x = xp;
    ptrans->y = yp;
    ptrans->z = zp;
    if (wp != 1.f) *ptrans /= wp;
  }
  void operator()(const Vector& v, Vector* vt) const {
    const float x = v.x, y = v.y, z = v.z;
    vt->x = Linear(0, x, y, z);
    vt->y = Linear(1, x, y, z);
    vt->z = Linear(2, x, y, z);
  }
  void operator()(const Ray& r, Ray* rt) const {
    (*this)(r.o, &rt->o);
    (*this)(r.d, &rt->d);
    rt->mint = r.mint;
    rt->maxt = r.maxt;
    rt->time = r.time;
  }
  Point operator()(const Point& pt) const {
    Point p;
    (*this)(pt, &p);
    return p;
  }
  Vector operator()(const Vector& v) const {
    Vector r;
    (*this)(v, &r);
    return r;
  }

  Reference<Matrix4x4> m, mInv;

 private:
  float Linear(int row, float x, float y, float z) const {
    const float(*a)[4] = m->m;
    float s = a[row][0] * x;
    s = float(double(a[row][1]) * y + s);
    s = float(double(a[row][2]) * z + s);
    return s;
  }
  float Row(int row, float x, float y, float z) const {
    return Linear(row, x, y, z) + m->m[row][3];
  }
};

// Host helpers (core/transform.cpp): not used by the plug-in. Each throws
// std::invalid_argument, with a message that names the call, for input
// that gives no transform; none calls Severe, and none ends the process
// unless the exception goes uncaught.
// The transform of a matrix, its inverse computed in double. Throws for a
// singular matrix: "TransformFromMatrix: the matrix is singular".
Transform TransformFromMatrix(const float mat[4][4]);
Transform Translate(const Vector& delta);
// World-to-camera transform of a camera at eye looking at target: camera
// space has +z toward the target, +y toward up, +x completing a left-handed
// frame, as the host renderer expects. Throws when eye and target are the
// same point, when up is zero, and when up is parallel to the view
// direction.
Transform LookAt(const Point& eye, const Point& target, const Vector& up);
// Throws when a factor is zero (or not finite): no inverse.
Transform Scale(float x, float y, float z);
// a after b: Compose(a, b)(p) = a(b(p)).
Transform Compose(const Transform& a, const Transform& b);
