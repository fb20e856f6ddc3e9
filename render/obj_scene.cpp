// SPDX-License-Identifier: Apache-2.0
#include "render/obj_scene.h"

#include <tiny_obj_loader.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "render/image_io.h"
#include "render/obj_check.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr float kRayOffset = 1e-4f;  // scene units, off a surface for shadow and bounce rays

double Luminance(const Vec3& c) { return 0.2126 * c.x + 0.7152 * c.y + 0.0722 * c.z; }
Vec3 Cross(const Vec3& a, const Vec3& b) {
  return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// SplitMix64 on a state, as uniform doubles in [0, 1).
double Uniform(uint64_t* state) {
  uint64_t z = (*state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return double((z ^ (z >> 31)) >> 11) * (1.0 / 9007199254740992.0);
}

double SrgbToLinear(unsigned char c) {
  const double v = c / 255.0;
  return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
}

// The line of the first statement that starts with `keyword`, for errors
// the loader reports without one.
int LineOf(const std::string& path, const std::string& keyword) {
  std::ifstream in(path);
  std::string line;
  for (int n = 1; std::getline(in, line); ++n) {
    const size_t start = line.find_first_not_of(" \t");
    if (start != std::string::npos && line.compare(start, keyword.size(), keyword) == 0) return n;
  }
  return 0;
}

std::string Where(const std::string& path, int line) {
  return line > 0 ? path + ":" + std::to_string(line) : path;
}

void ThrowOnEmbreeError(RTCDevice device, const std::string& what) {
  const RTCError e = rtcGetDeviceError(device);
  if (e != RTC_ERROR_NONE)
    throw std::runtime_error("Embree failed to " + what + " (error " + std::to_string(int(e)) + ")");
}

}  // namespace

ObjScene::ObjScene(const std::string& path, const SunSky& light_settings) : light(light_settings) {
  // What tinyobjloader would accept silently (and number wrongly) is
  // refused first, at its line.
  CheckObjFile(path);
  tinyobj::ObjReaderConfig config;
  config.triangulate = true;
  config.vertex_color = false;
  tinyobj::ObjReader reader;
  if (!reader.ParseFromFile(path, config)) {
    // tinyobjloader says "... line N." for a line it cannot parse.
    const std::string err = reader.Error();
    const size_t at = err.find("line ");
    const int line = at == std::string::npos ? 0 : std::atoi(err.c_str() + at + 5);
    std::string message = err.substr(0, err.find_last_not_of("\n") + 1);
    throw std::runtime_error(Where(path, line) + ": " + message);
  }
  const std::string warning = reader.Warning();
  if (warning.find("Material file") != std::string::npos || warning.find("not found") != std::string::npos) {
    const std::string first = warning.substr(0, warning.find('\n'));
    throw std::runtime_error(Where(path, LineOf(path, "mtllib")) + ": " + first +
                             " (materials are read from beside the .obj file)");
  }

  const tinyobj::attrib_t& attrib = reader.GetAttrib();
  const std::string dir = path.find('/') == std::string::npos ? "" : path.substr(0, path.rfind('/') + 1);
  for (const tinyobj::material_t& m : reader.GetMaterials()) {
    Material mat;
    mat.kd = Vec3(m.diffuse[0], m.diffuse[1], m.diffuse[2]);
    mat.ke = Vec3(m.emission[0], m.emission[1], m.emission[2]);
    if (!m.diffuse_texname.empty()) {
      Texture t;
      std::string bytes;
      const std::string file = dir + m.diffuse_texname;
      if (!ReadPng(file, &t.width, &t.height, &bytes))
        throw std::runtime_error(Where(path, LineOf(path, "mtllib")) + ": cannot read texture \"" + file +
                                 "\" of material \"" + m.name + "\" (map_Kd must name a PNG file)");
      t.rgb.resize(bytes.size());
      for (size_t i = 0; i < bytes.size(); ++i) t.rgb[i] = float(SrgbToLinear((unsigned char)bytes[i]));
      mat.texture = int(textures.size());
      textures.push_back(std::move(t));
    }
    materials.push_back(mat);
  }
  const int default_material = int(materials.size());
  materials.push_back(Material());

  vertices = attrib.vertices;
  const size_t nv = vertices.size() / 3;
  bool textured = false;
  for (const Material& m : materials) textured = textured || m.texture >= 0;
  std::vector<float> file_normals;
  int corner_normal[3] = {-1, -1, -1};
  for (const tinyobj::shape_t& shape : reader.GetShapes()) {
    const auto& idx = shape.mesh.indices;
    for (size_t f = 0; f + 2 < idx.size(); f += 3) {
      for (int k = 0; k < 3; ++k) {
        const int v = idx[f + size_t(k)].vertex_index;
        if (v < 0 || size_t(v) >= nv)
          throw std::runtime_error(Where(path, 0) + ": a face of \"" + shape.name + "\" refers to vertex " +
                                   std::to_string(v + 1) + "; the file has " + std::to_string(nv));
        triangles.push_back(unsigned(v));
        const int vn = idx[f + size_t(k)].normal_index;
        corner_normal[k] = vn >= 0 && size_t(3 * vn + 2) < attrib.normals.size() ? vn : -1;
        if (textured) {
          const int t = idx[f + size_t(k)].texcoord_index;
          const bool ok = t >= 0 && size_t(2 * t + 1) < attrib.texcoords.size();
          uvs.push_back(ok ? attrib.texcoords[size_t(2 * t)] : 0.f);
          uvs.push_back(ok ? attrib.texcoords[size_t(2 * t + 1)] : 0.f);
        }
      }
      const int m = shape.mesh.material_ids[f / 3];
      material_of.push_back(m >= 0 && m < default_material ? m : default_material);
      const bool given = corner_normal[0] >= 0 && corner_normal[1] >= 0 && corner_normal[2] >= 0;
      for (int k = 0; k < 3; ++k)
        for (int c = 0; c < 3; ++c)
          file_normals.push_back(given ? attrib.normals[size_t(3 * corner_normal[k] + c)] : 0.f);
      has_normal.push_back(given);
    }
  }
  if (triangles.empty()) throw std::runtime_error(path + ": the scene has no faces to render");
  // Shading normals: the file's; with --smooth, the area-weighted mean of
  // the faces' normals at each vertex where the file gives none.
  bool any_normal = false;
  for (unsigned char h : has_normal) any_normal = any_normal || h;
  if (light.smooth) {
    std::vector<Vec3> at_vertex(nv);
    for (size_t t = 0; t < triangles.size() / 3; ++t) {
      const Vec3 a = Corner(t, 0), b = Corner(t, 1), c = Corner(t, 2);
      const Vec3 n = Cross(b - a, c - a);  // length: twice the area
      for (int k = 0; k < 3; ++k) at_vertex[triangles[3 * t + size_t(k)]] += n;
    }
    for (size_t t = 0; t < triangles.size() / 3; ++t) {
      if (has_normal[t]) continue;
      for (int k = 0; k < 3; ++k) {
        const Vec3 n = at_vertex[triangles[3 * t + size_t(k)]];
        file_normals[9 * t + size_t(3 * k)] = float(n.x);
        file_normals[9 * t + size_t(3 * k + 1)] = float(n.y);
        file_normals[9 * t + size_t(3 * k + 2)] = float(n.z);
      }
      has_normal[t] = 1;
    }
    any_normal = true;
  }
  if (any_normal) normals = std::move(file_normals);

  lo = Vec3(1e300, 1e300, 1e300), hi = Vec3(-1e300, -1e300, -1e300);
  for (size_t i = 0; i < nv; ++i) {
    const Vec3 p(vertices[3 * i], vertices[3 * i + 1], vertices[3 * i + 2]);
    lo = Vec3(std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z));
    hi = Vec3(std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z));
  }
  if (hi.x - lo.x == 0 && hi.y - lo.y == 0 && hi.z - lo.z == 0)
    throw std::runtime_error(path + ": every vertex of the scene lies at one point; there is nothing to see");

  // Area lights, chosen in proportion to the power they send out.
  double total = 0;
  for (unsigned t = 0; t < unsigned(material_of.size()); ++t) {
    const Vec3& ke = materials[size_t(material_of[t])].ke;
    if (Luminance(ke) <= 0) continue;
    const Vec3 a(vertices[3 * triangles[3 * t]], vertices[3 * triangles[3 * t] + 1], vertices[3 * triangles[3 * t] + 2]);
    const Vec3 b(vertices[3 * triangles[3 * t + 1]], vertices[3 * triangles[3 * t + 1] + 1],
                 vertices[3 * triangles[3 * t + 1] + 2]);
    const Vec3 c(vertices[3 * triangles[3 * t + 2]], vertices[3 * triangles[3 * t + 2] + 1],
                 vertices[3 * triangles[3 * t + 2] + 2]);
    const Vec3 n = Cross(b - a, c - a);
    total += 0.5 * std::sqrt(Dot(n, n)) * Luminance(ke);
    lights.push_back(t);
    light_cdf.push_back(total);
  }
  for (double& c : light_cdf) c /= total;

  // The emitters as sources: the pieces of emitting triangles that share
  // vertices (a lamp's bulb, a window), joined by union-find.
  std::vector<unsigned> parent(nv);
  for (unsigned i = 0; i < unsigned(nv); ++i) parent[i] = i;
  auto root = [&parent](unsigned v) {
    while (parent[v] != v) v = parent[v] = parent[parent[v]];
    return v;
  };
  for (unsigned t : lights)
    for (int k = 1; k < 3; ++k) parent[root(triangles[3 * t + unsigned(k)])] = root(triangles[3 * t]);
  source_of.assign(material_of.size(), -1);
  std::vector<int> source_of_root(nv, -1);
  std::vector<Vec3> box_lo, box_hi;
  for (unsigned t : lights) {
    int& id = source_of_root[root(triangles[3 * t])];
    if (id < 0) {
      id = int(sources.size());
      sources.emplace_back();
      box_lo.emplace_back(INFINITY, INFINITY, INFINITY), box_hi.emplace_back(-INFINITY, -INFINITY, -INFINITY);
    }
    source_of[t] = id;
    const Vec3& ke = materials[size_t(material_of[t])].ke;
    Source& src = sources[size_t(id)];
    if (Luminance(ke) > Luminance(src.radiance)) src.radiance = ke;
    for (int k = 0; k < 3; ++k) {
      const Vec3 p = Corner(t, k);
      Vec3& a = box_lo[size_t(id)];
      Vec3& b = box_hi[size_t(id)];
      a = Vec3(std::min(a.x, p.x), std::min(a.y, p.y), std::min(a.z, p.z));
      b = Vec3(std::max(b.x, p.x), std::max(b.y, p.y), std::max(b.z, p.z));
    }
  }
  for (size_t i = 0; i < sources.size(); ++i) {
    sources[i].centre = (box_lo[i] + box_hi[i]) * 0.5;
    sources[i].radius = 0;
  }
  for (unsigned t : lights)
    for (int k = 0; k < 3; ++k) {
      Source& src = sources[size_t(source_of[t])];
      const Vec3 r = Corner(t, k) - src.centre;
      src.radius = std::max(src.radius, std::sqrt(Dot(r, r)));
    }
  // A little over, so that rounding never leaves an edge outside.
  for (Source& src : sources) src.radius = src.radius * (1 + 1e-6) + 1e-9;

  sun_irradiance = Vec3(3.2, 3.0, 2.7) * light.sun_strength;
  light.sun_direction = Unit(light.sun_direction);

  // Embree: one triangle mesh sharing our buffers, its BVH built on all
  // threads.
  device = rtcNewDevice(nullptr);
  if (!device) throw std::runtime_error("Embree could not create a device");
  scene = rtcNewScene(device);
  RTCGeometry mesh = rtcNewGeometry(device, RTC_GEOMETRY_TYPE_TRIANGLE);
  // Embree may read 16 bytes at the last vertex: pad the buffer.
  vertices.resize(vertices.size() + 4);
  rtcSetSharedGeometryBuffer(mesh, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, vertices.data(), 0,
                             3 * sizeof(float), nv);
  rtcSetSharedGeometryBuffer(mesh, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, triangles.data(), 0,
                             3 * sizeof(unsigned), triangles.size() / 3);
  rtcCommitGeometry(mesh);
  rtcAttachGeometry(scene, mesh);
  rtcReleaseGeometry(mesh);
  rtcSetSceneBuildQuality(scene, RTC_BUILD_QUALITY_HIGH);
  rtcCommitScene(scene);
  ThrowOnEmbreeError(device, "build the scene of \"" + path + "\"");
}

ObjScene::~ObjScene() {
  if (scene) rtcReleaseScene(scene);
  if (device) rtcReleaseDevice(device);
}

Vec3 ObjScene::Corner(size_t triangle, int k) const {
  const size_t v = triangles[3 * triangle + size_t(k)];
  return Vec3(vertices[3 * v], vertices[3 * v + 1], vertices[3 * v + 2]);
}

bool ObjScene::Encloses(const Vec3& p) const {
  for (int x = -1; x <= 1; ++x)
    for (int y = -1; y <= 1; ++y)
      for (int z = -1; z <= 1; ++z) {
        if (x == 0 && y == 0 && z == 0) continue;
        Hit hit;
        if (!Intersect(p, Unit(Vec3(x, y, z)), &hit)) return false;
      }
  return true;
}

Vec3 ObjScene::DefaultTarget() const {
  const Vec3 middle = (lo + hi) * 0.5;
  return Encloses(middle) ? middle + Vec3(0, 0, 0.3 * (hi.z - lo.z)) : middle;
}

Vec3 ObjScene::DefaultEye() const {
  const Vec3 middle = (lo + hi) * 0.5, size = hi - lo;
  // In a room: a fifth of the way in from its -z wall, at mid height.
  if (Encloses(middle)) return middle - Vec3(0, 0, 0.3 * size.z);
  const double r = 0.5 * std::sqrt(Dot(size, size));
  return middle + Vec3(0, 0.35 * r, -2.2 * r);
}

bool ObjScene::Intersect(const Vec3& o, const Vec3& d, Hit* hit) const {
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  RTCRayHit rh;
  rh.ray.org_x = float(o.x), rh.ray.org_y = float(o.y), rh.ray.org_z = float(o.z);
  rh.ray.dir_x = float(d.x), rh.ray.dir_y = float(d.y), rh.ray.dir_z = float(d.z);
  rh.ray.tnear = 0.f;
  rh.ray.tfar = std::numeric_limits<float>::infinity();
  rh.ray.mask = ~0u;
  rh.ray.flags = 0;
  rh.ray.time = 0.f;
  rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
  rh.hit.instID[0] = RTC_INVALID_GEOMETRY_ID;
  rtcIntersect1(scene, &context, &rh);
  if (rh.hit.geomID == RTC_INVALID_GEOMETRY_ID) return false;
  Vec3 n = Unit(Vec3(rh.hit.Ng_x, rh.hit.Ng_y, rh.hit.Ng_z));
  if (Dot(n, d) > 0) n = n * -1.0;
  hit->p = o + d * double(rh.ray.tfar);
  hit->n = n;
  hit->ns = n;
  hit->triangle = rh.hit.primID;
  hit->u = rh.hit.u, hit->v = rh.hit.v;
  if (!normals.empty() && has_normal[hit->triangle]) {
    const float* c = &normals[9 * size_t(hit->triangle)];
    const double w = 1.0 - hit->u - hit->v;
    const Vec3 s(w * c[0] + hit->u * c[3] + hit->v * c[6], w * c[1] + hit->u * c[4] + hit->v * c[7],
                 w * c[2] + hit->u * c[5] + hit->v * c[8]);
    if (Dot(s, s) > 0) {
      // On the side the ray sees: the file's normals may point either way.
      hit->ns = Unit(s);
      if (Dot(hit->ns, n) < 0) hit->ns = hit->ns * -1.0;
    }
  }
  return true;
}

double ObjScene::Trace(const Vec3& o, const Vec3& d) const {
  Hit hit;
  return Intersect(o, d, &hit) ? std::sqrt(Dot(hit.p - o, hit.p - o)) : INFINITY;
}

bool ObjScene::Occluded(const Vec3& o, const Vec3& d, double distance) const {
  RTCIntersectContext context;
  rtcInitIntersectContext(&context);
  RTCRay ray;
  ray.org_x = float(o.x), ray.org_y = float(o.y), ray.org_z = float(o.z);
  ray.dir_x = float(d.x), ray.dir_y = float(d.y), ray.dir_z = float(d.z);
  ray.tnear = 0.f;
  ray.tfar = float(distance);
  ray.mask = ~0u;
  ray.flags = 0;
  ray.time = 0.f;
  rtcOccluded1(scene, &context, &ray);
  return ray.tfar < 0;  // Embree sets tfar to -inf on a hit
}

Vec3 ObjScene::Albedo(const Hit& hit) const {
  const Material& m = materials[size_t(material_of[hit.triangle])];
  if (m.texture < 0 || uvs.empty()) return m.kd;
  const float* uv = &uvs[6 * size_t(hit.triangle)];
  const double w = 1.0 - hit.u - hit.v;
  double s = w * uv[0] + hit.u * uv[2] + hit.v * uv[4];
  double t = w * uv[1] + hit.u * uv[3] + hit.v * uv[5];
  s -= std::floor(s), t -= std::floor(t);  // repeat
  const Texture& tex = textures[size_t(m.texture)];
  const int x = std::min(tex.width - 1, int(s * tex.width));
  const int y = std::min(tex.height - 1, int((1.0 - t) * tex.height));  // v runs up, rows down
  const float* px = &tex.rgb[3 * (size_t(y) * size_t(tex.width) + size_t(x))];
  return m.kd * Vec3(px[0], px[1], px[2]);
}

Vec3 ObjScene::Sky(const Vec3& d) const {
  // The built-in scene's sky: blue overhead, pale at the horizon, grey below.
  const double up = std::max(-1.0, std::min(1.0, d.y));
  if (up < 0) return Vec3(0.3, 0.3, 0.3) * light.sky_strength;
  const Vec3 horizon(0.85, 0.88, 0.95), zenith(0.25, 0.45, 0.95);
  const double w = std::sqrt(up);
  return (horizon * (1 - w) + zenith * w) * light.sky_strength;
}

Vec3 ObjScene::DirectLight(const Hit& hit, const Vec3& albedo, uint64_t* state) const {
  const Vec3 p = hit.p + hit.n * double(kRayOffset);
  Vec3 e;
  // Light arrives from above the surface itself (the geometric normal),
  // and is weighed by the shading normal: smooth shading, no leaks.
  if (light.sun) {
    const double c = Dot(hit.ns, light.sun_direction);
    if (c > 0 && Dot(hit.n, light.sun_direction) > 0 && !Occluded(p, light.sun_direction, INFINITY))
      e += sun_irradiance * c;
  }
  if (!lights.empty()) {
    // One area-light sample: a triangle by power, a point uniform on it.
    const double pick = Uniform(state);
    const size_t k = size_t(std::lower_bound(light_cdf.begin(), light_cdf.end(), pick) - light_cdf.begin());
    const unsigned t = lights[std::min(k, lights.size() - 1)];
    const double p_pick = light_cdf[std::min(k, lights.size() - 1)] - (k == 0 ? 0.0 : light_cdf[k - 1]);
    auto corner = [&](int c) {
      const size_t v = triangles[3 * t + unsigned(c)];
      return Vec3(vertices[3 * v], vertices[3 * v + 1], vertices[3 * v + 2]);
    };
    const Vec3 a = corner(0), b = corner(1), c = corner(2);
    const double r1 = std::sqrt(Uniform(state)), r2 = Uniform(state);
    const Vec3 q = a * (1 - r1) + b * (r1 * (1 - r2)) + c * (r1 * r2);
    const Vec3 nl = Cross(b - a, c - a);
    const double area = 0.5 * std::sqrt(Dot(nl, nl));
    const Vec3 to = q - p;
    const double dist2 = Dot(to, to), dist = std::sqrt(dist2);
    const Vec3 w = to * (1.0 / dist);
    const double cos_surface = Dot(hit.ns, w), cos_light = std::fabs(Dot(Unit(nl), w));
    if (cos_surface > 0 && Dot(hit.n, w) > 0 && cos_light > 0 && !Occluded(p, w, dist * (1 - 1e-4))) {
      const Vec3& ke = materials[size_t(material_of[t])].ke;
      // Irradiance from the light: Le cos cos' / r^2 over the area pdf.
      e += ke * (cos_surface * cos_light / dist2 * area / p_pick);
    }
  }
  return albedo * e * (1.0 / kPi);
}

Vec3 ObjScene::DirectSource(const Vec3& o, const Vec3& d) const {
  Hit hit;
  if (!Intersect(o, d, &hit)) return light.sun ? SunDisc(d, light.sun_direction, sun_irradiance, light.sun_radius) : Vec3();
  return materials[size_t(material_of[hit.triangle])].ke;
}

Vec3 ObjScene::EmitterSeen(const Vec3& o, const Vec3& d, int* source) const {
  Hit hit;
  *source = -1;
  if (!Intersect(o, d, &hit) || source_of[hit.triangle] < 0) return Vec3();
  *source = source_of[hit.triangle];
  return materials[size_t(material_of[hit.triangle])].ke;
}

bool ObjScene::Sun(Vec3* direction, Vec3* irradiance, double* radius_degrees) const {
  if (!light.sun) return false;
  *direction = light.sun_direction, *irradiance = sun_irradiance, *radius_degrees = light.sun_radius;
  return true;
}

Vec3 ObjScene::SunSeen(const Vec3& o, const Vec3& d) const {
  Hit hit;
  if (!light.sun || Intersect(o, d, &hit)) return Vec3();
  return SunDisc(d, light.sun_direction, sun_irradiance, light.sun_radius);
}

Vec3 ObjScene::Radiance(const Vec3& o, const Vec3& d, uint64_t random) const {
  uint64_t state = random;
  Hit hit;
  if (!Intersect(o, d, &hit))
    return light.sun ? Sky(d) + SunDisc(d, light.sun_direction, sun_irradiance, light.sun_radius) : Sky(d);
  // Seen directly, a light shows its emission; its light on surfaces comes
  // through DirectLight (next-event estimation of the sun and the area
  // lights at every vertex), so it is counted once. The sky comes in where
  // a bounce leaves the scene.
  Vec3 l = materials[size_t(material_of[hit.triangle])].ke, throughput(1, 1, 1);
  for (int bounce = 0;; ++bounce) {
    const Vec3 albedo = Albedo(hit);
    l += throughput * DirectLight(hit, albedo, &state);
    if (bounce >= light.bounces) break;
    throughput = throughput * albedo;
    // Russian roulette from the third bounce: a path goes on with the
    // chance of its throughput (at most 0.95), and counts for 1 / chance.
    if (bounce >= 2) {
      const double go_on = std::min(0.95, std::max({throughput.x, throughput.y, throughput.z}));
      if (!(Uniform(&state) < go_on)) break;
      throughput = throughput * (1.0 / go_on);
    }
    // A cosine-weighted direction about the shading normal; one below the
    // surface itself carries nothing.
    const double r1 = Uniform(&state), r2 = Uniform(&state);
    const double phi = 2 * kPi * r1, sr = std::sqrt(r2);
    const Vec3 n = hit.ns;
    const Vec3 t = Unit(std::fabs(n.x) > 0.5 ? Cross(n, Vec3(0, 1, 0)) : Cross(n, Vec3(1, 0, 0)));
    const Vec3 bt = Cross(n, t);
    const Vec3 w = Unit(t * (std::cos(phi) * sr) + bt * (std::sin(phi) * sr) + n * std::sqrt(1 - r2));
    if (Dot(w, hit.n) <= 0) break;
    const Vec3 p = hit.p + hit.n * double(kRayOffset);
    if (!Intersect(p, w, &hit)) {
      l += throughput * Sky(w);
      break;
    }
  }
  return l;
}
