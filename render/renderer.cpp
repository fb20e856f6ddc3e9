// SPDX-License-Identifier: Apache-2.0
#include "render/renderer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

namespace {

constexpr int kTile = 16;

// SplitMix64: small, fast and good enough for sample placement.
class Rng {
 public:
  explicit Rng(uint64_t seed) : state(seed) {}
  uint64_t Next() {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  // In [0, 1), with 24 random bits so that it never rounds up to 1 as a float.
  float Uniform() { return float(Next() >> 40) * (1.f / 16777216.f); }
  uint32_t Below(uint32_t n) { return uint32_t((Next() >> 32) * n >> 32); }

 private:
  uint64_t state;
};

void Shuffle(std::vector<int>* v, Rng* rng) {
  for (size_t i = v->size(); i > 1; --i) std::swap((*v)[i - 1], (*v)[rng->Below(uint32_t(i))]);
}

struct TileCounts {
  uint64_t samples = 0, blocked = 0;
};

struct TracedSources;
bool TracedEmitter(const TracedSources& t, int source);

TileCounts RenderTile(const std::vector<CameraBand>& bands, const RadianceScene& scene, const RenderSettings& s,
                      const TracedSources* traced, bool traced_sun, bool traced_emitters, int tile, Image* image,
                      std::vector<float>* sources) {
  const int tiles_x = (s.width + kTile - 1) / kTile;
  // The tile's pixels within the region rendered; each pixel's numbers
  // depend on its place in the whole raster only.
  const int cx1 = s.crop_x1 > 0 ? s.crop_x1 : s.width, cy1 = s.crop_x1 > 0 ? s.crop_y1 : s.height;
  const int x0 = std::max((tile % tiles_x) * kTile, s.crop_x0), y0 = std::max((tile / tiles_x) * kTile, s.crop_y0);
  const int x1 = std::min((tile % tiles_x) * kTile + kTile, cx1), y1 = std::min((tile / tiles_x) * kTile + kTile, cy1);
  if (x1 <= x0 || y1 <= y0) return TileCounts{};
  const int n = s.spp;
  const int nb = int(bands.size());
  std::vector<int> perm_y(n), perm_u(n), perm_v(n), perm_band(n);
  TileCounts counts;
  // The tile's pixels go in runs of at most this many samples: one batch
  // call per band and run keeps the lanes full (a pixel's share of one
  // band is only spp / bands samples), the memory bounded at any spp.
  constexpr size_t kRunSamples = 16384;
  const int run_pixels = int(std::max<size_t>(1, kRunSamples / size_t(n)));
  // Per band, its samples in the order they were made and where each goes
  // in the run (pixel-major, sample-minor).
  // The buffers live with the thread: fresh ones for every tile cost the
  // memory system more than the camera's rays.
  thread_local std::vector<std::vector<Sample>> band_samples;
  thread_local std::vector<std::vector<size_t>> band_slots;
  thread_local std::vector<Ray> rays, band_rays;
  thread_local std::vector<float> weights, band_weights;
  thread_local std::vector<int> band_of;
  if (band_samples.size() < size_t(nb)) band_samples.resize(size_t(nb)), band_slots.resize(size_t(nb));
  const int tile_pixels = (x1 - x0) * (y1 - y0);
  for (int first = 0; first < tile_pixels; first += run_pixels) {
    const int count = std::min(run_pixels, tile_pixels - first);
    const size_t total = size_t(count) * size_t(n);
    rays.resize(total), weights.resize(total), band_of.resize(total);
    for (int b = 0; b < nb; ++b) band_samples[size_t(b)].clear(), band_slots[size_t(b)].clear();
    // The pixels' samples, each pixel from its own random stream.
    for (int p = 0; p < count; ++p) {
      const int x = x0 + (first + p) % (x1 - x0), y = y0 + (first + p) / (x1 - x0);
      Rng rng(s.seed * 0x100000001b3ull ^ (uint64_t(y) * uint64_t(s.width) + uint64_t(x)));
      rng.Next();
      for (int i = 0; i < n; ++i) perm_y[i] = perm_u[i] = perm_v[i] = i;
      Shuffle(&perm_y, &rng);
      Shuffle(&perm_u, &rng);
      Shuffle(&perm_v, &rng);
      // With several bands, consecutive bands from a random one on take
      // the pixel's samples in shuffled order: each band gets an even
      // share, and every sample is in each band with chance 1/nb, so a
      // band's light counted nb times is unbiased for any spp.
      uint32_t band_offset = 0;
      if (nb > 1) {
        for (int i = 0; i < n; ++i) perm_band[i] = i;
        Shuffle(&perm_band, &rng);
        band_offset = rng.Below(uint32_t(nb));
      }
      for (int i = 0; i < n; ++i) {
        const size_t k = size_t(p) * size_t(n) + size_t(i);
        const int b = nb > 1 ? int((band_offset + uint32_t(perm_band[i])) % uint32_t(nb)) : 0;
        band_of[k] = b;
        band_slots[size_t(b)].push_back(k);
        band_samples[size_t(b)].emplace_back();
        Sample& sample = band_samples[size_t(b)].back();
        sample.imageX = float(x) + (float(i) + rng.Uniform()) / float(n);
        sample.imageY = float(y) + (float(perm_y[i]) + rng.Uniform()) / float(n);
        sample.lensU = (float(perm_u[i]) + rng.Uniform()) / float(n);
        sample.lensV = (float(perm_v[i]) + rng.Uniform()) / float(n);
      }
    }
    // The camera rays, band by band: in one call per band where the
    // plug-in offers a batch entry (the same bits), else one by one.
    for (int b = 0; b < nb; ++b) {
      const CameraBand& band = bands[size_t(b)];
      const std::vector<Sample>& bs = band_samples[size_t(b)];
      const std::vector<size_t>& slots = band_slots[size_t(b)];
      // One band's samples are already in the run's order.
      Ray* out_rays = nb == 1 ? rays.data() : (band_rays.resize(bs.size()), band_rays.data());
      float* out_weights = nb == 1 ? weights.data() : (band_weights.resize(bs.size()), band_weights.data());
      if (band.batch)
        band.batch(band.camera, int(bs.size()), bs.data(), out_rays, out_weights);
      else
        for (size_t j = 0; j < bs.size(); ++j) out_weights[j] = band.camera->GenerateRay(bs[j], &out_rays[j]);
      if (nb > 1)
        for (size_t j = 0; j < bs.size(); ++j) rays[slots[j]] = band_rays[j], weights[slots[j]] = band_weights[j];
    }
    // Each sample in the run's order, where the flare entries ask of it.
    thread_local std::vector<Sample> in_order;
    if (traced) {
      in_order.resize(total);
      for (int b = 0; b < nb; ++b)
        for (size_t j = 0; j < band_samples[size_t(b)].size(); ++j)
          in_order[band_slots[size_t(b)][j]] = band_samples[size_t(b)][j];
    }
    for (int p = 0; p < count; ++p) {
      const int x = x0 + (first + p) % (x1 - x0), y = y0 + (first + p) / (x1 - x0);
      Vec3 sum, source_sum;
      for (int i = 0; i < n; ++i) {
        const size_t k = size_t(p) * size_t(n) + size_t(i);
        const CameraBand& band = bands[size_t(band_of[k])];
        const Ray& ray = rays[k];
        const float weight = weights[k];
        ++counts.samples;
        if (weight == 0.f || ray.mint > ray.maxt) {
          ++counts.blocked;
          continue;
        }
        const Vec3 o(ray.o.x, ray.o.y, ray.o.z);
        const Vec3 d = Unit(Vec3(ray.d.x, ray.d.y, ray.d.z));
        // The scene's own random numbers come from the seed, the pixel and
        // the sample, not from the sampler's stream: the same for any
        // thread count, and the sample positions stay as they are.
        Rng scene_rng(s.seed * 0x9e3779b97f4a7c15ull ^
                      ((uint64_t(y) * uint64_t(s.width) + uint64_t(x)) << 16 ^ uint64_t(i)));
        Vec3 radiance = scene.Radiance(o, d, scene_rng.Next());
        // The traced sources' ghosts come from the light: a sample on a
        // ghost path counts none of their own light.
        const bool ghost = traced && s.light_traced.is_ghost(band.camera, &in_order[k]) == 1;
        if (ghost) {
          if (traced_sun) radiance = radiance - scene.SunSeen(o, d);
          int source = -1;
          if (traced_emitters) {
            const Vec3 e = scene.EmitterSeen(o, d, &source);
            if (TracedEmitter(*traced, source)) radiance = radiance - e;
          }
        }
        if (sources && !ghost) {
          // The sources' own light, seen directly, goes to the starburst's
          // image (a ghost's is not the stop's image of the source).
          const Vec3 direct = scene.DirectSource(o, d);
          radiance = radiance - direct;
          source_sum += (nb > 1 ? direct * band.rgb * double(nb) : direct) * double(weight);
        }
        if (nb > 1)
          sum += radiance * band.rgb * (double(weight) * nb);
        else
          sum += radiance * double(weight);
      }
      const size_t at = 3 * (size_t(y - s.crop_y0) * size_t(image->width) + size_t(x - s.crop_x0));
      float* px = &image->rgb[at];
      px[0] = float(sum.x / n);
      px[1] = float(sum.y / n);
      px[2] = float(sum.z / n);
      if (sources) {
        (*sources)[at] = float(source_sum.x / n), (*sources)[at + 1] = float(source_sum.y / n);
        (*sources)[at + 2] = float(source_sum.z / n);
      }
    }
  }
  return counts;
}

// The sources whose ghosts are traced from the light, and how many rays
// each gets per ghost path; their light reaches camera samples on ghost
// paths no more.
struct TracedSources {
  bool sun = false;
  Vec3 sun_direction, sun_irradiance;
  double sun_radius_degrees = 0;
  int sun_rays = 0;
  std::vector<RadianceScene::Source> sources;
  std::vector<int> rays;  // per scene source; 0: left to the camera samples
  bool AnyEmitter() const {
    for (int r : rays)
      if (r > 0) return true;
    return false;
  }
};

// 1 - cos of a cone's half-angle whose sine is s, without cancellation.
double OneMinusCos(double s) { return s * s / (1 + std::sqrt(std::max(0.0, 1 - s * s))); }

bool TracedEmitter(const TracedSources& t, int source) {
  return source >= 0 && size_t(source) < t.rays.size() && t.rays[size_t(source)] > 0;
}

double LuminanceOf(const Vec3& c) { return 0.2126 * c.x + 0.7152 * c.y + 0.0722 * c.z; }

// The lens's front disc in world space: centre and radius.
bool FrontDisc(const RenderSettings::LightTraced& lt, const Camera* camera, Vec3* centre, double* radius,
               float centre_c[3], float* radius_c) {
  if (lt.front(camera, centre_c, radius_c) != 0) return false;
  const Point c = camera->CameraToWorld(Point(centre_c[0], centre_c[1], centre_c[2]));
  const Vector r = camera->CameraToWorld(Vector(*radius_c, 0.f, 0.f));
  *centre = Vec3(c.x, c.y, c.z);
  *radius = std::sqrt(double(r.x) * r.x + double(r.y) * r.y + double(r.z) * r.z);
  return true;
}

// Which sources to trace: the sun where its light reaches the front of the
// lens, every emitter wholly in front of it (one around the lens stays
// with the camera samples). The rays of a ghost path are shared among them
// by the square root of the light each sends into the lens, at least 1,024
// each: the bright ones get most, the dim ones enough to show.
TracedSources PlanTracedSources(const Camera* camera, const RadianceScene& scene, const RenderSettings& s) {
  TracedSources t;
  const auto& lt = s.light_traced;
  Vec3 front;
  double front_r = 0;
  float centre_c[3], radius_c = 0;
  if (!FrontDisc(lt, camera, &front, &front_r, centre_c, &radius_c)) return t;
  const Vector axis_w = camera->CameraToWorld(Vector(0.f, 0.f, 1.f));
  const Vec3 axis = Unit(Vec3(axis_w.x, axis_w.y, axis_w.z));  // the lens looks this way
  std::vector<double> flux;
  Vec3 sun_e;
  if (scene.Sun(&t.sun_direction, &sun_e, &t.sun_radius_degrees)) {
    const double c = Dot(Unit(t.sun_direction), axis);
    if (c > 0) {
      t.sun = true;
      t.sun_direction = Unit(t.sun_direction), t.sun_irradiance = sun_e;
      flux.push_back(LuminanceOf(sun_e) * c);
    }
  }
  t.sources = scene.Sources();
  t.rays.assign(t.sources.size(), 0);
  std::vector<size_t> which;
  for (size_t i = 0; i < t.sources.size(); ++i) {
    const RadianceScene::Source& src = t.sources[i];
    const Vec3 to = src.centre - front;
    const double dist = std::sqrt(Dot(to, to));
    if (!(dist > src.radius + front_r) || !(src.radius > 0)) continue;
    const double c = Dot(to, axis) / dist;
    if (!(c > 0)) continue;
    flux.push_back(LuminanceOf(src.radiance) * 2 * 3.14159265358979323846 * OneMinusCos(src.radius / dist) * c);
    which.push_back(i);
  }
  double sum = 0;
  for (double f : flux) sum += std::sqrt(std::max(0.0, f));
  if (!(sum > 0)) return TracedSources{};
  const int least = std::min(lt.rays_per_path, 1024);
  auto share = [&](double f) {
    return std::max(least, int(double(lt.rays_per_path) * std::sqrt(std::max(0.0, f)) / sum));
  };
  size_t k = 0;
  if (t.sun) t.sun_rays = share(flux[k++]);
  for (size_t i : which) t.rays[i] = share(flux[k++]);
  return t;
}

// The area of triangle abc inside the pixel [x, x + 1) x [y, y + 1): the
// triangle clipped by the pixel's four sides in turn.
double ClippedArea(const double* a, const double* b, const double* c, int x, int y) {
  double poly[2][10][2];
  int n = 3;
  for (int k = 0; k < 2; ++k) poly[0][0][k] = a[k], poly[0][1][k] = b[k], poly[0][2][k] = c[k];
  int from = 0;
  for (int side = 0; side < 4 && n > 0; ++side) {
    // Keep where s * (coordinate - edge) >= 0.
    const double edge = side == 0 ? x : side == 1 ? y : side == 2 ? x + 1 : y + 1;
    const double sign = side < 2 ? 1 : -1;
    const int along = side % 2;  // 0: x, 1: y
    const double(*in)[2] = poly[from];
    double(*out)[2] = poly[1 - from];
    int m = 0;
    for (int i = 0; i < n; ++i) {
      const double* p = in[i];
      const double* q = in[(i + 1) % n];
      const double dp = sign * (p[along] - edge), dq = sign * (q[along] - edge);
      if (dp >= 0) out[m][0] = p[0], out[m][1] = p[1], ++m;
      if ((dp >= 0) != (dq >= 0)) {
        const double t = dp / (dp - dq);
        out[m][0] = p[0] + t * (q[0] - p[0]), out[m][1] = p[1] + t * (q[1] - p[1]);
        ++m;
      }
    }
    n = m, from = 1 - from;
  }
  double twice = 0;
  for (int i = 0; i < n; ++i) {
    const double* p = poly[from][i];
    const double* q = poly[from][(i + 1) % n];
    twice += p[0] * q[1] - q[0] * p[1];
  }
  return 0.5 * std::fabs(twice);
}

// A film image of one source's ghost along one path, in the raster's
// pixels: power deposited at points and spread over triangles.
class GhostCanvas {
 public:
  GhostCanvas(int width, int height) : w(width), h(height) {}
  void Clear() {
    for (size_t i = lo; i < hi; ++i) rgb[i] = 0.f;
    lo = rgb.size(), hi = 0;
  }
  void Reset() {
    rgb.assign(size_t(w) * size_t(h) * 3, 0.f);
    lo = rgb.size(), hi = 0;
  }
  // All of e into the pixel holding (x, y), if it is on the image.
  void Point(double x, double y, const Vec3& e) {
    if (!(x >= 0 && y >= 0 && x < w && y < h)) return;
    Add(size_t(int(y)) * size_t(w) + size_t(int(x)), e);
  }
  // e spread over the triangle by area: each pixel gets the share of the
  // triangle's area it holds (the part off the image is lost, not gathered
  // in), so the image moves smoothly with the corners. A triangle of no
  // area puts it all at its centroid; one wider than a quarter of the frame
  // (a fold of the mapping across a caustic) a third at each corner.
  void Triangle(const double* a, const double* b, const double* c, const Vec3& e) {
    const double x0 = std::min({a[0], b[0], c[0]}), x1 = std::max({a[0], b[0], c[0]});
    const double y0 = std::min({a[1], b[1], c[1]}), y1 = std::max({a[1], b[1], c[1]});
    if (x1 - x0 > 0.25 * (w + h) || y1 - y0 > 0.25 * (w + h)) {
      for (const double* q : {a, b, c}) Point(q[0], q[1], e * (1.0 / 3));
      return;
    }
    const double area = 0.5 * std::fabs((b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]));
    const int px0 = std::max(0, int(std::floor(x0))), px1 = std::min(w - 1, int(std::floor(x1)));
    const int py0 = std::max(0, int(std::floor(y0))), py1 = std::min(h - 1, int(std::floor(y1)));
    if (!(area > 1e-9) || (px0 == px1 && py0 == py1)) {
      Point((a[0] + b[0] + c[0]) / 3, (a[1] + b[1] + c[1]) / 3, e);
      return;
    }
    if (x1 - x0 < 1 && y1 - y0 < 1) {
      // Smaller than a pixel, across a pixel's edge: shared as its box
      // around the centroid is (continuous, as the exact share is, and a
      // fraction of its cost; most cells of a focused ghost are so small).
      Box((a[0] + b[0] + c[0]) / 3, (a[1] + b[1] + c[1]) / 3, x1 - x0, y1 - y0, e);
      return;
    }
    const Vec3 density = e * (1.0 / area);
    // The edges as functions positive inside (whichever way round the
    // corners go): a pixel with all four corners inside one is wholly
    // inside, with all four outside one wholly outside; only the pixels
    // the edges cross are clipped.
    const double turn = (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0]) > 0 ? 1 : -1;
    const double* v[3] = {a, b, c};
    double ex[3], ey[3], e0[3];
    for (int k = 0; k < 3; ++k) {
      const double* p = v[k];
      const double* q = v[(k + 1) % 3];
      ex[k] = -turn * (q[1] - p[1]), ey[k] = turn * (q[0] - p[0]);
      e0[k] = -(ex[k] * p[0] + ey[k] * p[1]);
    }
    for (int y = py0; y <= py1; ++y)
      for (int x = px0; x <= px1; ++x) {
        bool inside = true, outside = false;
        for (int k = 0; k < 3 && !outside; ++k) {
          const double f00 = ex[k] * x + ey[k] * y + e0[k];
          const double lo = f00 + std::min(0.0, ex[k]) + std::min(0.0, ey[k]);
          const double hi = f00 + std::max(0.0, ex[k]) + std::max(0.0, ey[k]);
          if (hi <= 0) outside = true;
          if (lo < 0) inside = false;
        }
        if (outside) continue;
        const double covered = inside ? 1.0 : ClippedArea(a, b, c, x, y);
        if (covered > 0) Add(size_t(y) * size_t(w) + size_t(x), density * covered);
      }
  }
  // e spread evenly over a box of wx x wy (under a pixel each way) around
  // (cx, cy), each pixel getting the share of the box it holds.
  void Box(double cx, double cy, double wx, double wy, const Vec3& e) {
    wx = std::max(wx, 1e-6), wy = std::max(wy, 1e-6);
    const double bx0 = cx - 0.5 * wx, by0 = cy - 0.5 * wy;
    const int ix = int(std::floor(bx0)), iy = int(std::floor(by0));
    // The parts in the first column and row; the rest in the next.
    const double fx = std::min(1.0, (ix + 1 - bx0) / wx), fy = std::min(1.0, (iy + 1 - by0) / wy);
    const double sx[2] = {fx, 1 - fx}, sy[2] = {fy, 1 - fy};
    for (int j = 0; j < 2; ++j)
      for (int i = 0; i < 2; ++i) {
        const double share = sx[i] * sy[j];
        const int x = ix + i, y = iy + j;
        if (share > 0 && x >= 0 && y >= 0 && x < w && y < h) Add(size_t(y) * size_t(w) + size_t(x), e * share);
      }
  }
  // e spread evenly over a square of side `side` around (x, y).
  void Square(double x, double y, double side, const Vec3& e) {
    if (!(side > 1)) return Point(x, y, e);
    const double h2 = 0.5 * side;
    const double p[4][2] = {{x - h2, y - h2}, {x + h2, y - h2}, {x + h2, y + h2}, {x - h2, y + h2}};
    Triangle(p[0], p[1], p[2], e * 0.5);
    Triangle(p[0], p[2], p[3], e * 0.5);
  }
  // Adds what it holds onto `sum` (three doubles a pixel).
  void AddTo(std::vector<double>* sum) const {
    for (size_t i = lo; i < hi; ++i) (*sum)[i] += rgb[i];
  }

 private:
  void Add(size_t pixel, const Vec3& e) {
    float* p = &rgb[3 * pixel];
    p[0] += float(e.x), p[1] += float(e.y), p[2] += float(e.z);
    lo = std::min(lo, 3 * pixel), hi = std::max(hi, 3 * pixel + 3);
  }
  int w, h;
  std::vector<float> rgb;
  size_t lo = 0, hi = 0;  // the span touched since the last Clear
};

// The traced sources' ghosts. For each source and ghost path, a grid of
// rays over the part of the lens's front disc that the path lets through
// (found with a coarse grid first), each with its own direction in the
// cone the source fills from its point, through every camera (the
// wavelengths). Each cell of the grid whose four rays all land carries its
// power (the mean of its corners': radiance x the cone's solid angle x the
// cell's area x the cosine, times the path's weight) to the film spread
// over the two triangles its corners land on: the ghost's image is
// smooth where a splat of single rays would be grain. A cell at the
// beam's edge gives each landing corner its quarter at its pixel. Sources
// and paths run in parallel in chunks, each into its own canvas, added in
// order: the same for any thread count.
void TraceSourceFlare(const std::vector<CameraBand>& bands, const RadianceScene& scene, const RenderSettings& s,
                      const TracedSources& traced, Image* image, RenderStats* stats) {
  const auto& lt = s.light_traced;
  const std::vector<CameraBand>& tracers = lt.cameras.empty() ? bands : lt.cameras;
  const Camera* camera = tracers[0].camera;
  const int count = lt.paths(camera, nullptr, 0);
  if (count <= 0) return;
  std::vector<int> pairs(size_t(2 * count));
  lt.paths(camera, pairs.data(), count);
  Vec3 front;
  double front_r = 0;
  float centre_c[3], radius_c = 0;
  if (!FrontDisc(lt, camera, &front, &front_r, centre_c, &radius_c)) return;
  constexpr double kPi = 3.14159265358979323846;
  // The jobs: (source, path); source -1 is the sun.
  struct Job {
    int source, path, rays;
  };
  std::vector<Job> jobs;
  if (traced.sun)
    for (int p = 0; p < count; ++p) jobs.push_back({-1, p, traced.sun_rays});
  for (size_t i = 0; i < traced.rays.size(); ++i)
    if (traced.rays[i] > 0)
      for (int p = 0; p < count; ++p) jobs.push_back({int(i), p, traced.rays[i]});
  if (jobs.empty()) return;
  const double sun_cap = OneMinusCos(std::sin(traced.sun_radius_degrees * kPi / 180));
  const int w = s.width, h = s.height;
  const int nthreads = std::max(1, s.threads);
  const size_t chunk = size_t(4 * nthreads);
  std::vector<GhostCanvas> canvases(chunk, GhostCanvas(w, h));
  for (GhostCanvas& c : canvases) c.Reset();
  std::vector<double> added(size_t(w) * size_t(h) * 3, 0.0);
  uint64_t rays_traced = 0;
  constexpr int kCoarse = 32;  // cells a side of the first, finding grid
  constexpr int kMargin = 3;   // coarse cells added around where light passed
  constexpr double kStratumPixels = 1;  // a stratum's image on the film, at most
  for (size_t first = 0; first < jobs.size(); first += chunk) {
    const size_t last = std::min(jobs.size(), first + chunk);
    std::atomic<size_t> next{first};
    std::atomic<uint64_t> traced_here{0};
    auto worker = [&] {
      std::vector<Ray> rays;
      std::vector<float> xy, weights;
      std::vector<Vec3> power;  // per ray: radiance x cone x cosine / pixel area (before the cell's area)
      for (size_t j; (j = next.fetch_add(1)) < last;) {
        const Job& job = jobs[j];
        GhostCanvas& canvas = canvases[j - first];
        canvas.Clear();
        Rng rng(s.seed * 0x2545f4914f6cdd1dull ^ (uint64_t(job.source + 1) << 32) ^ uint64_t(job.path + 1));
        const int later = pairs[size_t(2 * job.path)], earlier = pairs[size_t(2 * job.path + 1)];
        // The source as the lens sees it: the sun's cone, or a disc facing
        // the lens through the emitter's bounding sphere, wide enough to
        // hold the sphere's outline seen from anywhere on the front disc
        // (each ray then counts what it meets: the emitter, or nothing).
        Vec3 disc_centre, disc_normal;
        double disc_radius = 0, angular_radius = traced.sun_radius_degrees * kPi / 180;
        if (job.source >= 0) {
          const RadianceScene::Source& src = traced.sources[size_t(job.source)];
          const Vec3 to = src.centre - front;
          const double dist = std::sqrt(Dot(to, to));
          disc_centre = src.centre, disc_normal = to * (1 / dist);
          disc_radius = src.radius * dist / std::sqrt(dist * dist - src.radius * src.radius) *
                        (1.02 + 2 * front_r / (dist - src.radius));
          angular_radius = std::asin(std::min(1.0, src.radius / dist));
        }
        // One grid of rays per stratum of the source, all from one point of
        // it, random within the stratum: each grid maps smoothly onto the
        // film (no cell is torn by its corners' own directions), and a
        // stratum's image spans about a pixel, so the copies blend.
        const double image_px = lt.focal_length > 0 && lt.pixel_area > 0
                                    ? 2 * std::tan(angular_radius) * lt.focal_length / std::sqrt(lt.pixel_area)
                                    : 12;
        int strata = std::max(1, std::min(16, int(std::ceil(image_px / kStratumPixels))));
        // The grid's rays: nx x ny nodes from (x0, y0) on the front
        // vertex's plane (camera space), `step` apart, from the source's
        // stratum (su, sv) of strata x strata: from one point of it, or
        // with `anywhere` each ray from its own point of the whole source.
        auto make_rays = [&](double x0, double y0, double step, int nx, int ny, int su, int sv, int side,
                             bool anywhere) {
          const size_t n = size_t(nx) * size_t(ny);
          rays.resize(n), power.assign(n, Vec3());
          const double u0 = (su + rng.Uniform()) / side, v0 = (sv + rng.Uniform()) / side;
          for (int iy = 0; iy < ny; ++iy)
            for (int ix = 0; ix < nx; ++ix) {
              const size_t k = size_t(iy) * size_t(nx) + size_t(ix);
              const Vec3 at(x0 + ix * step, y0 + iy * step, centre_c[2]);
              const Point pw = camera->CameraToWorld(Point(float(at.x), float(at.y), float(at.z)));
              const Vec3 p(pw.x, pw.y, pw.z);
              const double u = anywhere ? rng.Uniform() : u0, v = anywhere ? rng.Uniform() : v0;
              Vec3 back;     // toward the source, from the lens
              double solid;  // the solid angle this ray stands for, times the cosine at the source
              if (job.source < 0) {
                const Vec3& axis = traced.sun_direction;
                const double cz = 1 - u * sun_cap, sz = std::sqrt(std::max(0.0, 1 - cz * cz)), psi = 2 * kPi * v;
                const Vec3 a1 = Unit(std::fabs(axis.x) < 0.9 ? Vec3(0, -axis.z, axis.y) : Vec3(-axis.y, axis.x, 0));
                const Vec3 a2(axis.y * a1.z - axis.z * a1.y, axis.z * a1.x - axis.x * a1.z,
                              axis.x * a1.y - axis.y * a1.x);
                back = Unit(axis * cz + a1 * (sz * std::cos(psi)) + a2 * (sz * std::sin(psi)));
                solid = 2 * kPi * sun_cap;
              } else {
                // A point of the disc, uniform by area.
                const Vec3& nd = disc_normal;
                const Vec3 a1 = Unit(std::fabs(nd.x) < 0.9 ? Vec3(0, -nd.z, nd.y) : Vec3(-nd.y, nd.x, 0));
                const Vec3 a2(nd.y * a1.z - nd.z * a1.y, nd.z * a1.x - nd.x * a1.z, nd.x * a1.y - nd.y * a1.x);
                const double rr = disc_radius * std::sqrt(u), phi = 2 * kPi * v;
                const Vec3 q = disc_centre + a1 * (rr * std::cos(phi)) + a2 * (rr * std::sin(phi));
                const Vec3 to = q - p;
                const double d2 = Dot(to, to);
                back = to * (1 / std::sqrt(d2));
                solid = kPi * disc_radius * disc_radius * std::fabs(Dot(back, nd)) / d2;
              }
              const Vector dc = camera->WorldToCamera(Vector(float(-back.x), float(-back.y), float(-back.z)));
              const Vec3 d = Unit(Vec3(dc.x, dc.y, dc.z));
              // Moved back along the ray so that it starts in front of the
              // lens (toward +z).
              const Vec3 o = at - d * (4.0 * radius_c / std::max(1e-9, std::fabs(d.z)));
              rays[k] = Ray(Point(float(o.x), float(o.y), float(o.z)), Vector(float(d.x), float(d.y), float(d.z)));
              // What the scene lets through from the source toward that point.
              Vec3 radiance;
              if (job.source < 0) {
                radiance = scene.SunSeen(p, back);
              } else {
                int hit = -1;
                radiance = scene.EmitterSeen(p, back, &hit);
                if (hit != job.source) radiance = Vec3();
              }
              power[k] = radiance * (solid * std::fabs(d.z) / (lt.pixel_area * side * side));
            }
        };
        auto trace = [&](const Camera* c, int n) {
          xy.resize(size_t(2 * n)), weights.resize(size_t(n));
          traced_here += uint64_t(n);
          return lt.trace(c, later, earlier, n, rays.data(), xy.data(), weights.data()) == n;
        };
        // Where on the front disc light passes along this path: a coarse
        // grid over the disc's square, from anywhere on the source,
        // through the first camera.
        const double r = double(radius_c), coarse = 2 * r / kCoarse;
        make_rays(centre_c[0] - r, centre_c[1] - r, coarse, kCoarse + 1, kCoarse + 1, 0, 0, 1, true);
        if (!trace(tracers[0].camera, (kCoarse + 1) * (kCoarse + 1))) continue;
        int ix0 = kCoarse + 1, ix1 = -1, iy0 = kCoarse + 1, iy1 = -1;
        for (int iy = 0; iy <= kCoarse; ++iy)
          for (int ix = 0; ix <= kCoarse; ++ix)
            if (weights[size_t(iy * (kCoarse + 1) + ix)] > 0)
              ix0 = std::min(ix0, ix), ix1 = std::max(ix1, ix), iy0 = std::min(iy0, iy), iy1 = std::max(iy1, iy);
        if (ix1 < 0) continue;  // no light along this path
        // Every stratum's grid draws the whole ghost: a large ghost (whose
        // edges the source's size hardly softens) gets fewer, so that all
        // of them together touch at most about half a million pixels for
        // the whole of a path's rays (a source with a share of them, that
        // share).
        {
          double fx0 = INFINITY, fx1 = -INFINITY, fy0 = INFINITY, fy1 = -INFINITY;
          for (size_t k = 0; k < weights.size(); ++k)
            if (weights[k] > 0) {
              fx0 = std::min(fx0, double(xy[2 * k])), fx1 = std::max(fx1, double(xy[2 * k]));
              fy0 = std::min(fy0, double(xy[2 * k + 1])), fy1 = std::max(fy1, double(xy[2 * k + 1]));
            }
          const double ghost_px = std::max(1.0, (fx1 - fx0) * (fy1 - fy0));
          const double budget = double(1 << 19) * job.rays / std::max(1, lt.rays_per_path);
          strata = std::max(1, std::min(strata, int(std::sqrt(budget / ghost_px))));
        }
        // That region, a few coarse cells wider on every side, with the
        // job's rays shared among the strata.
        const double gx0 = centre_c[0] - r + (ix0 - kMargin) * coarse, gy0 = centre_c[1] - r + (iy0 - kMargin) * coarse;
        const double gw = (ix1 - ix0 + 2 * kMargin) * coarse, gh = (iy1 - iy0 + 2 * kMargin) * coarse;
        const double step = std::sqrt(gw * gh / std::max(4, job.rays / (strata * strata)));
        const int nx = std::max(2, int(std::ceil(gw / step)) + 2), ny = std::max(2, int(std::ceil(gh / step)) + 2);
        const int n = nx * ny;
        const double cell = step * step;
        for (int sv = 0; sv < strata; ++sv)
          for (int su = 0; su < strata; ++su) {
            // Each stratum's grid shifted by its own fraction of a step:
            // the cells' edges fall in different places.
            const double shift_x = rng.Uniform() * step, shift_y = rng.Uniform() * step;
            make_rays(gx0 - shift_x, gy0 - shift_y, step, nx, ny, su, sv, strata, false);
            for (const CameraBand& tracer : tracers) {
              if (!trace(tracer.camera, n)) continue;
              auto node = [&](int ix, int iy) { return size_t(iy) * size_t(nx) + size_t(ix); };
              auto lands = [&](size_t k) {
                const Vec3& pk = power[k];
                return weights[k] > 0 && (pk.x > 0 || pk.y > 0 || pk.z > 0);
              };
              // The typical size of a whole cell's image: the root of the mean
              // area of the cells whose corners all land.
              double images = 0;
              int whole = 0;
              for (int iy = 0; iy + 1 < ny; ++iy)
                for (int ix = 0; ix + 1 < nx; ++ix) {
                  const size_t k0 = node(ix, iy), k1 = node(ix + 1, iy);
                  const size_t k2 = node(ix + 1, iy + 1), k3 = node(ix, iy + 1);
                  if (!lands(k0) || !lands(k1) || !lands(k2) || !lands(k3)) continue;
                  const double ax = xy[2 * k2] - xy[2 * k0], ay = xy[2 * k2 + 1] - xy[2 * k0 + 1];
                  const double bx = xy[2 * k3] - xy[2 * k1], by = xy[2 * k3 + 1] - xy[2 * k1 + 1];
                  images += 0.5 * std::fabs(ax * by - ay * bx), ++whole;
                }
              const double cell_px = whole > 0 ? std::sqrt(images / whole) : 1.0;
              for (int iy = 0; iy + 1 < ny; ++iy)
                for (int ix = 0; ix + 1 < nx; ++ix) {
                  const size_t k[4] = {node(ix, iy), node(ix + 1, iy), node(ix + 1, iy + 1), node(ix, iy + 1)};
                  Vec3 e[4];
                  int landed = 0;
                  for (int c = 0; c < 4; ++c)
                    if (lands(k[c])) {
                      e[c] = power[k[c]] * tracer.rgb * (0.25 * cell * double(weights[k[c]]));
                      ++landed;
                    }
                  if (landed == 0) continue;
                  double q[4][2];
                  for (int c = 0; c < 4; ++c) q[c][0] = xy[2 * k[c]], q[c][1] = xy[2 * k[c] + 1];
                  if (landed == 3) {
                    // Three corners: their shares over the triangle they span.
                    const double* t[3];
                    int m = 0;
                    for (int c = 0; c < 4; ++c)
                      if (lands(k[c])) t[m++] = q[c];
                    canvas.Triangle(t[0], t[1], t[2], e[0] + e[1] + e[2] + e[3]);
                    continue;
                  }
                  if (landed < 3) {
                    // At the beam's edge: each corner's share over a square the
                    // size of a whole cell's image there.
                    for (int c = 0; c < 4; ++c)
                      if (lands(k[c])) canvas.Square(q[c][0], q[c][1], cell_px, e[c]);
                    continue;
                  }
                  const Vec3 half = (e[0] + e[1] + e[2] + e[3]) * 0.5;
                  canvas.Triangle(q[0], q[1], q[2], half);
                  canvas.Triangle(q[0], q[2], q[3], half);
                }
            }
          }
      }
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < std::min(nthreads, int(last - first)); ++i) pool.emplace_back(worker);
    worker();
    for (auto& t : pool) t.join();
    rays_traced += traced_here.load();
    for (size_t j = first; j < last; ++j) canvases[j - first].AddTo(&added);
  }
  // Onto the pixels rendered (a crop keeps its region).
  const bool crop = s.crop_x1 > 0;
  stats->light_rgb.assign(image->rgb.size(), 0.f);
  for (int y = 0; y < image->height; ++y)
    for (int x = 0; x < image->width; ++x) {
      const int gx = x + (crop ? s.crop_x0 : 0), gy = y + (crop ? s.crop_y0 : 0);
      const size_t from = 3 * (size_t(gy) * size_t(w) + size_t(gx));
      const size_t to = 3 * (size_t(y) * size_t(image->width) + size_t(x));
      for (int c = 0; c < 3; ++c) {
        image->rgb[to + size_t(c)] = float(double(image->rgb[to + size_t(c)]) + added[from + size_t(c)]);
        stats->light_rgb[to + size_t(c)] = float(added[from + size_t(c)]);
      }
    }
  stats->light_paths = count;
  stats->light_rays = rays_traced;
  stats->light_sources =
      int(traced.sun) + int(std::count_if(traced.rays.begin(), traced.rays.end(), [](int r) { return r > 0; }));
  stats->light_wavelengths = int(tracers.size());
}

}  // namespace

Image Render(const Camera& camera, const RadianceScene& scene, const RenderSettings& settings,
             RenderStats* stats, const std::function<void(double)>& progress) {
  return Render(std::vector<CameraBand>{{&camera, Vec3(1, 1, 1), nullptr}}, scene, settings, stats,
                progress);
}

Image Render(const std::vector<CameraBand>& bands, const RadianceScene& scene,
             const RenderSettings& settings, RenderStats* stats,
             const std::function<void(double)>& progress) {
  const auto start = std::chrono::steady_clock::now();
  Image image;
  const bool crop = settings.crop_x1 > 0;
  image.width = crop ? settings.crop_x1 - settings.crop_x0 : settings.width;
  image.height = crop ? settings.crop_y1 - settings.crop_y0 : settings.height;
  image.rgb.assign(size_t(image.width) * size_t(image.height) * 3, 0.f);
  const int tiles = ((settings.width + kTile - 1) / kTile) * ((settings.height + kTile - 1) / kTile);

  // With a starburst, the sources' light apart, spread by it afterwards.
  std::vector<float> sources;
  std::vector<float>* sources_ptr = nullptr;
  if (!settings.starburst.empty()) sources.assign(image.rgb.size(), 0.f), sources_ptr = &sources;
  // The sources whose ghosts come from the light, chosen before the
  // camera samples leave them out.
  const bool light = settings.light_traced.trace && settings.light_traced.rays_per_path > 0;
  TracedSources traced;
  if (light)
    traced = PlanTracedSources(
        (settings.light_traced.cameras.empty() ? bands : settings.light_traced.cameras)[0].camera, scene, settings);
  const bool any = traced.sun || traced.AnyEmitter();
  std::atomic<int> next{0}, done{0};
  std::atomic<uint64_t> samples{0}, blocked{0};
  auto worker = [&] {
    TileCounts local;
    for (int t; (t = next.fetch_add(1)) < tiles;) {
      const TileCounts c = RenderTile(bands, scene, settings, any ? &traced : nullptr, traced.sun,
                                      traced.AnyEmitter(), t, &image, sources_ptr);
      local.samples += c.samples;
      local.blocked += c.blocked;
      done.fetch_add(1);
    }
    samples += local.samples;
    blocked += local.blocked;
  };
  const int nthreads = std::max(1, std::min(settings.threads, tiles));
  std::vector<std::thread> pool;
  for (int i = 1; i < nthreads; ++i) pool.emplace_back(worker);
  if (progress) {
    // The calling thread reports; the pool does the work.
    pool.emplace_back(worker);
    while (done.load() < tiles) {
      progress(double(done.load()) / tiles);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    progress(1.0);
  } else {
    worker();
  }
  for (auto& t : pool) t.join();
  if (any) {
    const auto light_start = std::chrono::steady_clock::now();
    TraceSourceFlare(bands, scene, settings, traced, &image, stats);
    stats->light_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - light_start).count();
  }
  if (sources_ptr) {
    // Each pixel's source light spread over the kernel around it, in
    // double, in raster order: the same for any thread count.
    const int r = settings.starburst_radius, side = 2 * r + 1;
    const size_t area = size_t(side) * size_t(side);
    const bool per_channel = settings.starburst.size() == 3 * area;
    const double* kr = settings.starburst.data();
    const double* kg = kr + (per_channel ? area : 0);
    const double* kb = kr + (per_channel ? 2 * area : 0);
    std::vector<double> spread(image.rgb.size(), 0.0);
    for (int y = 0; y < image.height; ++y)
      for (int x = 0; x < image.width; ++x) {
        const size_t at = 3 * (size_t(y) * size_t(image.width) + size_t(x));
        const float* v = &sources[at];
        if (v[0] == 0.f && v[1] == 0.f && v[2] == 0.f) continue;
        for (int ky = std::max(-r, -y); ky <= std::min(r, image.height - 1 - y); ++ky)
          for (int kx = std::max(-r, -x); kx <= std::min(r, image.width - 1 - x); ++kx) {
            const size_t k = size_t(ky + r) * size_t(side) + size_t(kx + r);
            const size_t to = 3 * (size_t(y + ky) * size_t(image.width) + size_t(x + kx));
            spread[to] += kr[k] * v[0], spread[to + 1] += kg[k] * v[1], spread[to + 2] += kb[k] * v[2];
          }
      }
    for (size_t i = 0; i < spread.size(); ++i) image.rgb[i] = float(double(image.rgb[i]) + spread[i]);
  }

  stats->samples = samples;
  stats->blocked = blocked;
  stats->seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return image;
}

double AutoExposure(const Image& image) {
  // The median luminance of 8 x 8 blocks that received light. Averaging
  // within a block first is unbiased, so noise shrinks instead of pulling
  // the figure (a log-average of noisy pixels is biased low, by more the
  // noisier the render); the median then ignores the few blocks that
  // bright lamps dominate. Outside a fisheye's image circle, or where
  // every sample was blocked, a block says nothing and is left out.
  constexpr int kBlock = 8;
  std::vector<double> blocks;
  for (int by = 0; by < image.height; by += kBlock)
    for (int bx = 0; bx < image.width; bx += kBlock) {
      double sum = 0;
      int n = 0;
      for (int y = by; y < std::min(by + kBlock, image.height); ++y)
        for (int x = bx; x < std::min(bx + kBlock, image.width); ++x, ++n) {
          const float* p = &image.rgb[3 * (size_t(y) * size_t(image.width) + size_t(x))];
          sum += 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2];
        }
      if (sum > 0) blocks.push_back(sum / n);
    }
  if (blocks.empty()) return 0;
  std::nth_element(blocks.begin(), blocks.begin() + long(blocks.size() / 2), blocks.end());
  return std::log2(0.18 / blocks[blocks.size() / 2]);
}

void ApplyExposure(Image* image, double ev) {
  const float scale = float(std::exp2(ev));
  for (float& v : image->rgb) v *= scale;
}
