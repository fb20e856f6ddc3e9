// SPDX-License-Identifier: Apache-2.0
// A user's scene from a Wavefront OBJ file with its MTL materials: loaded
// with tinyobjloader, intersected with Embree 3.
//
// Materials are diffuse: colour Kd, optionally times the PNG texture
// map_Kd; emission Ke makes a surface an area light (both faces). Light
// comes from the area lights and a sun, sampled directly with shadow rays,
// and from the sky; one diffuse bounce carries light between surfaces.
// Scene units are whatever the file uses; the renderer's --scale maps them
// to lens units.
#pragma once

#include <embree3/rtcore.h>

#include <string>
#include <vector>

#include "render/scene.h"

class ObjScene : public RadianceScene {
 public:
  // Throws std::runtime_error naming the file (and line, where the loader
  // gives one) for a file that cannot be read, a malformed line, a missing
  // material library or texture, a face that refers to a vertex that does
  // not exist, or a scene without triangles.
  ObjScene(const std::string& path, const SunSky& light);
  ~ObjScene() override;
  ObjScene(const ObjScene&) = delete;
  ObjScene& operator=(const ObjScene&) = delete;

  Vec3 Radiance(const Vec3& o, const Vec3& d, uint64_t random) const override;
  Vec3 DirectSource(const Vec3& o, const Vec3& d) const override;
  bool Sun(Vec3* direction, Vec3* irradiance, double* radius_degrees) const override;
  Vec3 SunSeen(const Vec3& o, const Vec3& d) const override;
  // One source per connected piece of emitting triangles (sharing
  // vertices), bounded by a sphere about its box's middle.
  std::vector<Source> Sources() const override { return sources; }
  Vec3 EmitterSeen(const Vec3& o, const Vec3& d, int* source) const override;
  // Looking at the middle of the bounding box along +z, from in front of
  // it and a little above.
  // Outside the bounding box; inside it where the scene closes around its
  // middle (a room), looking along +z from near its -z wall.
  Vec3 DefaultEye() const override;
  Vec3 DefaultTarget() const override;
  // Whether rays from the middle of the bounding box hit the scene in every
  // direction tried.
  bool Encloses(const Vec3& p) const;

  size_t TriangleCount() const { return triangles.size() / 3; }
  size_t LightCount() const { return lights.size(); }
  // The nearest hit's distance along a ray, or infinity: Embree alone.
  double Trace(const Vec3& o, const Vec3& d) const;

 private:
  struct Material {
    Vec3 kd{0.7, 0.7, 0.7}, ke;
    int texture = -1;
  };
  struct Texture {
    int width = 0, height = 0;
    std::vector<float> rgb;  // linear
  };
  struct Hit {
    Vec3 p, n;  // n faces the incoming ray
    Vec3 ns;    // the shading normal (interpolated where the file gives normals), on n's side
    unsigned triangle;
    float u, v;  // barycentric coordinates of the hit
  };
  bool Intersect(const Vec3& o, const Vec3& d, Hit* hit) const;
  bool Occluded(const Vec3& o, const Vec3& d, double distance) const;
  Vec3 Albedo(const Hit& hit) const;
  Vec3 Corner(size_t triangle, int k) const;
  // Sun and area lights at a point, times albedo / pi.
  Vec3 DirectLight(const Hit& hit, const Vec3& albedo, uint64_t* state) const;
  Vec3 Sky(const Vec3& d) const;

  RTCDevice device = nullptr;
  RTCScene scene = nullptr;
  std::vector<float> vertices;        // x y z per vertex
  std::vector<unsigned> triangles;    // three vertex indices per triangle
  std::vector<float> uvs;             // u v per triangle corner, when textured
  std::vector<float> normals;         // x y z per triangle corner (vn, or --smooth); empty if none
  std::vector<unsigned char> has_normal;  // per triangle: whether it has corner normals
  std::vector<int> material_of;       // per triangle
  std::vector<Material> materials;
  std::vector<Texture> textures;
  std::vector<unsigned> lights;       // emissive triangles
  std::vector<double> light_cdf;      // by area times luminance of Ke
  std::vector<int> source_of;         // per triangle: its source, or -1
  std::vector<Source> sources;
  Vec3 lo, hi;                        // bounding box
  SunSky light;
  Vec3 sun_irradiance;
};
