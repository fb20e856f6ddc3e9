// SPDX-License-Identifier: Apache-2.0
#include "render/scene.h"

#include <cmath>

double Dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec3 Unit(const Vec3& v) { return v * (1.0 / std::sqrt(Dot(v, v))); }

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kHitEpsilon = 1e-6;  // metres

Vec3 GroundAlbedo(const Vec3& p) {
  // Half-metre checks.
  const int cx = int(std::floor(p.x * 2)), cz = int(std::floor(p.z * 2));
  return ((cx + cz) & 1) ? Vec3(0.55, 0.52, 0.48) : Vec3(0.18, 0.17, 0.16);
}

Vec3 WallAlbedo(const Vec3& p) {
  // A fine grid of dark lines every 25 cm, 1.5 cm wide.
  const double fx = p.x * 4 - std::floor(p.x * 4), fy = p.y * 4 - std::floor(p.y * 4);
  const bool line = fx < 0.06 || fy < 0.06;
  return line ? Vec3(0.04, 0.04, 0.05) : Vec3(0.70, 0.68, 0.62);
}

}  // namespace

Vec3 SunDisc(const Vec3& d, const Vec3& sun_direction, const Vec3& sun_irradiance, double radius_degrees) {
  // The disc's solid angle is 2 pi (1 - cos r); radiance times that is the
  // irradiance (the cosine across so small a disc is 1).
  const double cos_radius = std::cos(radius_degrees * kPi / 180);
  if (Dot(d, sun_direction) < cos_radius) return Vec3();
  return sun_irradiance * (1 / (2 * kPi * (1 - cos_radius)));
}

Scene::Scene(const SunSky& light)
    : wall_z(12.0), sun(light.sun), sun_radius(light.sun_radius), sky_strength(light.sky_strength) {
  sun_dir = Unit(light.sun_direction);
  sun_irradiance = Vec3(3.2, 3.0, 2.7) * light.sun_strength;
  // The row of spheres, from near left to far right.
  const Vec3 colours[] = {{0.75, 0.2, 0.15}, {0.85, 0.65, 0.2}, {0.25, 0.6, 0.3},
                          {0.2, 0.4, 0.8},   {0.7, 0.7, 0.72},  {0.6, 0.25, 0.65}};
  for (int i = 0; i < 6; ++i) {
    const double z = 0.9 + 1.6 * i, r = 0.25 + 0.07 * i;
    spheres.push_back({Vec3(-0.9 + 0.55 * i, r, z), r, colours[i], Vec3(), -1});
  }
  // Small lamps: near the camera (out of focus in front), some toward the
  // frame's corners, and along the wall (out of focus behind).
  const Vec3 lamp(60.0, 52.0, 40.0);
  const double near[][2] = {{-0.2, 1.06}, {-0.05, 1.08}, {0.1, 1.05}, {0.22, 1.07}, {-0.26, 0.82}, {0.27, 0.83}};
  int lamps = 0;
  for (const auto& xy : near) spheres.push_back({Vec3(xy[0], xy[1], -0.7), 0.003, Vec3(), lamp * 8.0, lamps++});
  for (int i = 0; i < 9; ++i)
    spheres.push_back({Vec3(-4.4 + 1.1 * i, 2.6 + 0.5 * (i % 2), wall_z - 0.3), 0.05, Vec3(), lamp, lamps++});
}

bool Scene::Intersect(const Vec3& o, const Vec3& d, double tmax, Hit* hit) const {
  double best = tmax;
  bool found = false;
  for (const Sphere& s : spheres) {
    const Vec3 oc = o - s.centre;
    const double b = Dot(oc, d), c = Dot(oc, oc) - s.radius * s.radius;
    const double disc = b * b - c;
    if (disc < 0) continue;
    const double root = std::sqrt(disc);
    double t = -b - root;
    if (t < kHitEpsilon) t = -b + root;
    if (t < kHitEpsilon || t >= best) continue;
    best = t;
    found = true;
    hit->p = o + d * t;
    hit->n = (hit->p - s.centre) * (1.0 / s.radius);
    hit->albedo = s.albedo;
    hit->emission = s.emission;
    hit->source = s.source;
  }
  // Ground y = 0.
  if (d.y < 0) {
    const double t = -o.y / d.y;
    if (t > kHitEpsilon && t < best) {
      best = t;
      found = true;
      hit->p = o + d * t;
      hit->n = Vec3(0, 1, 0);
      hit->albedo = GroundAlbedo(hit->p);
      hit->emission = Vec3();
      hit->source = -1;
    }
  }
  // Back wall z = wall_z, facing the camera.
  if (d.z > 0) {
    const double t = (wall_z - o.z) / d.z;
    if (t > kHitEpsilon && t < best) {
      const Vec3 p = o + d * t;
      if (p.y >= 0) {
        best = t;
        found = true;
        hit->p = p;
        hit->n = Vec3(0, 0, -1);
        hit->albedo = WallAlbedo(p);
        hit->emission = Vec3();
        hit->source = -1;
      }
    }
  }
  hit->t = best;
  return found;
}

bool Scene::Occluded(const Vec3& o, const Vec3& d) const {
  Hit h;
  return Intersect(o, d, 1e30, &h);
}

Vec3 Scene::Sky(const Vec3& d) const {
  // Blue overhead, pale at the horizon, grey below it.
  const double up = std::max(-1.0, std::min(1.0, d.y));
  if (up < 0) return Vec3(0.3, 0.3, 0.3) * sky_strength;
  const Vec3 horizon(0.85, 0.88, 0.95), zenith(0.25, 0.45, 0.95);
  const double w = std::sqrt(up);
  return (horizon * (1 - w) + zenith * w) * sky_strength;
}

Vec3 Scene::DirectSource(const Vec3& o, const Vec3& d) const {
  Hit hit;
  if (!Intersect(o, d, 1e30, &hit)) return sun ? SunDisc(d, sun_dir, sun_irradiance, sun_radius) : Vec3();
  return hit.emission.x > 0 ? hit.emission : Vec3();
}

bool Scene::Sun(Vec3* direction, Vec3* irradiance, double* radius_degrees) const {
  if (!sun) return false;
  *direction = sun_dir, *irradiance = sun_irradiance, *radius_degrees = sun_radius;
  return true;
}

Vec3 Scene::SunSeen(const Vec3& o, const Vec3& d) const {
  Hit hit;
  if (!sun || Intersect(o, d, 1e30, &hit)) return Vec3();
  return SunDisc(d, sun_dir, sun_irradiance, sun_radius);
}

std::vector<RadianceScene::Source> Scene::Sources() const {
  std::vector<Source> out;
  for (const Sphere& s : spheres)
    if (s.source >= 0) out.push_back({s.centre, s.radius, s.emission});
  return out;
}

Vec3 Scene::EmitterSeen(const Vec3& o, const Vec3& d, int* source) const {
  Hit hit;
  *source = -1;
  if (!Intersect(o, d, 1e30, &hit) || hit.source < 0) return Vec3();
  *source = hit.source;
  return hit.emission;
}

Vec3 Scene::Radiance(const Vec3& o, const Vec3& d) const {
  Hit hit;
  if (!Intersect(o, d, 1e30, &hit)) return sun ? Sky(d) + SunDisc(d, sun_dir, sun_irradiance, sun_radius) : Sky(d);
  if (hit.emission.x > 0) return hit.emission;
  // Lambertian: sunlight where the sun is visible, plus the sky as a
  // uniform dome weighted by how much of it the surface faces.
  const Vec3 p = hit.p + hit.n * 1e-5;
  Vec3 e(0, 0, 0);
  const double cos_sun = Dot(hit.n, sun_dir);
  if (sun && cos_sun > 0 && !Occluded(p, sun_dir)) e += sun_irradiance * cos_sun;
  const double sky_view = 0.5 + 0.5 * hit.n.y;
  e += Vec3(0.6, 0.68, 0.85) * (kPi * sky_view * sky_strength);
  return hit.albedo * e * (1.0 / kPi);
}
