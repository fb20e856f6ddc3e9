// SPDX-License-Identifier: Apache-2.0
#include "realistic/refract.h"

#include <cmath>

#include "realistic/lens_error.h"
#include "realistic/lens_interface.h"

Ray Refract(const Point& O, const Point& P, const Vector& Normal, float ni, float nt) {
  static const char* const operation =
      "Ray Refract(const Point&, const Point&, const Vector&, float, float)";
  // I points back along the incoming ray; N is turned to face it.
  const Vector I = Normalize(O - P);
  Vector N = Normal;
  const float ratio = ni / nt;
  float cosi = Dot(N, I);
  if (cosi < 0.f) {
    N *= -1.f;
    cosi = -cosi;
  }
  LENS_CHECK(cosi != 0.f, "cosi != 0", operation);

  const float cos_o_squared = float(1.0 - double(ratio) * ratio * (1.0 - double(cosi) * cosi));
  if (cos_o_squared < 0.f) {
    // Total internal reflection: continue along the tangent plane, in the
    // sense the incoming ray travelled.
    const Vector tangent = Normalize(I - cosi * N);
    return Ray(O, -tangent);
  }
  const float coso = sqrtf(cos_o_squared);
  const float alpha = float(double(ratio) * cosi - coso);
  const float beta = -ratio;
  const Vector refract_dir = alpha * N + beta * I;
  LENS_CHECK(std::fabs(double(Dot(refract_dir, N)) - (-double(coso))) < EPSILON,
             "fabs(Dot(refract_dir, N) - (-coso)) < EPSILON", operation);
  LENS_CHECK(std::fabs(double(refract_dir.Length()) - 1.0) < EPSILON,
             "fabs(refract_dir.Length() - 1.0f) < EPSILON", operation);
  return Ray(P, refract_dir);
}

Ray Reflect(const Vector& D, const Point& P, const Vector& Normal) {
  const Vector u = Normalize(D);
  return Ray(P, Normalize(u - (2.f * Dot(Normal, u)) * Normal));
}
