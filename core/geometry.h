// SPDX-License-Identifier: Apache-2.0
// The host's geometry records: Vector, Point and Ray, with their
// arithmetic. Every operator rounds each component of its result to
// float; a scalar result (Dot, LengthSquared) is formed in double and
// rounded once. Chains of operators therefore round after every step.
#pragma once

#include <cmath>
#include <limits>

#include "core/core.h"

struct Point;

struct Vector {
  Vector() : x(0.f), y(0.f), z(0.f) {}
  Vector(float _x, float _y, float _z) : x(_x), y(_y), z(_z) {}
  explicit Vector(const Point& p);

  Vector operator+(const Vector& v) const { return Vector(x + v.x, y + v.y, z + v.z); }
  Vector operator-(const Vector& v) const { return Vector(x - v.x, y - v.y, z - v.z); }
  Vector operator*(float f) const { return Vector(x * f, y * f, z * f); }
  Vector& operator*=(float f) {
    x *= f;
    y *= f;
    z *= f;
    return *this;
  }
  // Division by zero is reported to the host and then carried out anyway,
  // which yields infinities or non-numbers.
  Vector operator/(float f) const {
    if (f == 0.f) Severe("Assertion f!=0 failed in %s, line %d", __FILE__, __LINE__);
    const float inv = 1.f / f;
    return Vector(x * inv, y * inv, z * inv);
  }
  Vector operator-() const { return Vector(-x, -y, -z); }

  float LengthSquared() const { return float(double(x) * x + double(y) * y + double(z) * z); }
  float Length() const { return sqrtf(LengthSquared()); }

  float x, y, z;
};

inline Vector operator*(float f, const Vector& v) { return v * f; }

inline float Dot(const Vector& v1, const Vector& v2) {
  return float(double(v1.x) * v2.x + double(v1.y) * v2.y + double(v1.z) * v2.z);
}

inline Vector Cross(const Vector& v1, const Vector& v2) {
  return Vector(float(double(v1.y) * v2.z - double(v1.z) * v2.y),
                float(double(v1.z) * v2.x - double(v1.x) * v2.z),
                float(double(v1.x) * v2.y - double(v1.y) * v2.x));
}

inline Vector Normalize(const Vector& v) { return v / v.Length(); }

struct Point {
  Point() : x(0.f), y(0.f), z(0.f) {}
  Point(float _x, float _y, float _z) : x(_x), y(_y), z(_z) {}

  Point operator+(const Vector& v) const { return Point(x + v.x, y + v.y, z + v.z); }
  Point operator-(const Vector& v) const { return Point(x - v.x, y - v.y, z - v.z); }
  Vector operator-(const Point& p) const { return Vector(x - p.x, y - p.y, z - p.z); }
  // Multiplies by the reciprocal, computed once; f is not tested.
  Point& operator/=(float f) {
    const float inv = 1.f / f;
    x *= inv;
    y *= inv;
    z *= inv;
    return *this;
  }

  float x, y, z;
};

inline Vector::Vector(const Point& p) : x(p.x), y(p.y), z(p.z) {}

// A ray o + t d for t in [mint, maxt]; mint > maxt marks an empty ray.
struct Ray {
  Ray() : mint(0.001f), maxt(std::numeric_limits<float>::infinity()), time(0.f) {}
  Ray(const Point& origin, const Vector& direction, float start = 0.001f,
      float end = std::numeric_limits<float>::infinity(), float t = 0.f)
      : o(origin), d(direction), mint(start), maxt(end), time(t) {}

  // d * t is rounded before o is added.
  Point operator()(float t) const { return o + d * t; }

  Point o;
  Vector d;
  float mint, maxt;
  float time;
};
