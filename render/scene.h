// SPDX-License-Identifier: Apache-2.0
// The built-in test scene, in metres: a checkered ground, a back wall with
// a fine grid (straight lines show distortion), a row of spheres at
// several depths (depth of field), small very bright lamps (bokeh) and a
// sun with a sky. The host traces it in double precision; the lens is the
// subject, so the shading is plain diffuse with shadowed sunlight and a
// sky term.
#pragma once

#include <cstdint>
#include <vector>

struct Vec3 {
  double x = 0, y = 0, z = 0;
  Vec3() = default;
  Vec3(double a, double b, double c) : x(a), y(b), z(c) {}
  Vec3 operator+(const Vec3& o) const { return {x + o.x, y + o.y, z + o.z}; }
  Vec3 operator-(const Vec3& o) const { return {x - o.x, y - o.y, z - o.z}; }
  Vec3 operator*(double s) const { return {x * s, y * s, z * s}; }
  Vec3 operator*(const Vec3& o) const { return {x * o.x, y * o.y, z * o.z}; }
  Vec3& operator+=(const Vec3& o) {
    x += o.x;
    y += o.y;
    z += o.z;
    return *this;
  }
};

double Dot(const Vec3& a, const Vec3& b);
Vec3 Unit(const Vec3& v);

// What the renderer asks of a scene: the radiance arriving along a ray,
// and where to look from by default. `random` seeds the scene's own Monte
// Carlo sampling (area lights, bounces); a scene without any ignores it.
class RadianceScene {
 public:
  virtual ~RadianceScene() = default;
  virtual Vec3 Radiance(const Vec3& o, const Vec3& d, uint64_t random) const = 0;
  // The part of Radiance that a light source seen directly along the ray
  // gives (an emitter it hits first, or the sun's disc): the light a lens's
  // diffraction spreads into a starburst.
  virtual Vec3 DirectSource(const Vec3& o, const Vec3& d) const = 0;
  // The sun: its direction (toward it, unit), irradiance and angular
  // radius (degrees); false where the scene has none. SunSeen is the sun's
  // disc as Radiance counts it along a ray that leaves the scene (0 for
  // one that hits something or misses the disc).
  virtual bool Sun(Vec3* direction, Vec3* irradiance, double* radius_degrees) const = 0;
  virtual Vec3 SunSeen(const Vec3& o, const Vec3& d) const = 0;
  // The emitters, each inside a sphere (scene units) with its brightest
  // radiance: what a renderer traces light from. EmitterSeen is the
  // emission along a ray that meets an emitter first, and *source its
  // place in Sources() (-1, and black, for a ray that meets none first).
  struct Source {
    Vec3 centre;
    double radius = 0;
    Vec3 radiance;
  };
  virtual std::vector<Source> Sources() const { return {}; }
  virtual Vec3 EmitterSeen(const Vec3& o, const Vec3& d, int* source) const {
    (void)o, (void)d;
    *source = -1;
    return Vec3();
  }
  // In scene units.
  virtual Vec3 DefaultEye() const = 0;
  virtual Vec3 DefaultTarget() const = 0;
};

// The sun and the sky of a scene. The built-in scene uses the sun and
// the sky's strength; bounces and smoothing are the OBJ scene's.
struct SunSky {
  bool sun = true;
  Vec3 sun_direction{-0.45, 0.75, -0.5}; // toward the sun; normalised on use
  double sun_strength = 1;                // times the built-in scene's sun
  double sun_radius = 0.2665;             // the disc's angular radius, degrees (the real sun's)
  double sky_strength = 1;
  // Diffuse bounces after the first hit (0: direct light only); from the
  // third on a path ends by Russian roulette.
  int bounces = 3;
  // Average the faces' normals at shared vertices where the file gives no vn.
  bool smooth = false;
};

// The sun's own disc, seen directly: the sun's irradiance spread evenly
// over a disc of angular radius `radius_degrees` around the direction
// toward it; black elsewhere. Its light on surfaces is computed apart, so
// only rays from the camera may see the disc.
Vec3 SunDisc(const Vec3& d, const Vec3& sun_direction, const Vec3& sun_irradiance, double radius_degrees);

class Scene : public RadianceScene {
 public:
  // The built-in scene, lit by `light`'s sun and sky.
  explicit Scene(const SunSky& light = SunSky());

  // Radiance arriving along the ray from origin o in unit direction d.
  Vec3 Radiance(const Vec3& o, const Vec3& d) const;
  Vec3 Radiance(const Vec3& o, const Vec3& d, uint64_t) const override { return Radiance(o, d); }
  Vec3 DirectSource(const Vec3& o, const Vec3& d) const override;
  bool Sun(Vec3* direction, Vec3* irradiance, double* radius_degrees) const override;
  Vec3 SunSeen(const Vec3& o, const Vec3& d) const override;
  std::vector<Source> Sources() const override;
  Vec3 EmitterSeen(const Vec3& o, const Vec3& d, int* source) const override;

  // The default viewpoint, in metres.
  Vec3 DefaultEye() const override { return {0.0, 1.0, -1.5}; }
  Vec3 DefaultTarget() const override { return {0.0, 0.8, 1.5}; }

 private:
  struct Sphere {
    Vec3 centre;
    double radius;
    Vec3 albedo, emission;
    int source;  // its place among the emitters, or -1
  };
  struct Hit {
    double t;
    Vec3 p, n, albedo, emission;
    int source = -1;
  };
  bool Intersect(const Vec3& o, const Vec3& d, double tmax, Hit* hit) const;
  bool Occluded(const Vec3& o, const Vec3& d) const;
  Vec3 Sky(const Vec3& d) const;

  std::vector<Sphere> spheres;
  double wall_z;
  bool sun;
  Vec3 sun_dir, sun_irradiance;
  double sun_radius;
  double sky_strength;
};
