// SPDX-License-Identifier: Apache-2.0
// The host renderer's main core header: the counted reference, the 4x4
// matrix it shares between transforms, the quadratic solver and the
// host's fatal-error report. Everything here is inline so that a plug-in
// carries its own copy of the arithmetic; only Severe lives in the host.
#pragma once

#include <cmath>
#include <utility>

// Reports a fatal error, printf-style. The host decides whether it returns
// (see core/error.h); callers say what follows if it does.
void Severe(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Intrusive reference count for objects shared through Reference<>.
// The count is a plain int: a Transform is copied on the thread that
// builds it, and rendering threads only read through the references.
class ReferenceCounted {
 public:
  ReferenceCounted() : nReferences(0) {}
  ReferenceCounted(const ReferenceCounted&) = delete;
  ReferenceCounted& operator=(const ReferenceCounted&) = delete;
  int nReferences;
};

template <typename T>
class Reference {
 public:
  Reference(T* p = nullptr) : ptr(p) {
    if (ptr) ++ptr->nReferences;
  }
  Reference(const Reference& r) : ptr(r.ptr) {
    if (ptr) ++ptr->nReferences;
  }
  Reference& operator=(const Reference& r) {
    if (r.ptr) ++r.ptr->nReferences;
    Release();
    ptr = r.ptr;
    return *this;
  }
  ~Reference() { Release(); }

  T* operator->() { return ptr; }
  const T* operator->() const { return ptr; }
  T* GetPtr() const { return ptr; }
  explicit operator bool() const { return ptr != nullptr; }

 private:
  void Release() {
    if (ptr && --ptr->nReferences == 0) delete ptr;
  }
  T* ptr;
};

// Row-major 4x4 matrix: m[row][column].
class Matrix4x4 : public ReferenceCounted {
 public:
  Matrix4x4() {
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) m[i][j] = (i == j) ? 1.f : 0.f;
  }
  explicit Matrix4x4(const float mat[4][4]) {
    for (int i = 0; i < 4; ++i)
      for (int j = 0; j < 4; ++j) m[i][j] = mat[i][j];
  }
  float m[4][4];
};

// Real roots of A t^2 + B t + C = 0 in ascending order. The q form avoids
// cancellation between B and the root of the discriminant; A = 0 or q = 0
// simply follow IEEE division.
inline bool Quadratic(float A, float B, float C, float* t0, float* t1) {
  const float discrim = float(double(B) * B - 4.0 * double(A) * C);
  if (discrim < 0.f) return false;
  const float rootDiscrim = sqrtf(discrim);
  const float q = (B < 0.f) ? float(-0.5 * (double(B) - rootDiscrim))
                            : float(-0.5 * (double(B) + rootDiscrim));
  *t0 = q / A;
  *t1 = C / q;
  if (*t0 > *t1) std::swap(*t0, *t1);
  return true;
}
