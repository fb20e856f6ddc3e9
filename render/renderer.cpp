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
        if (traced && s.light_traced.is_ghost(band.camera, &in_order[k]) == 1) {
          if (traced_sun) radiance = radiance - scene.SunSeen(o, d);
          int source = -1;
          if (traced_emitters) {
            const Vec3 e = scene.EmitterSeen(o, d, &source);
            if (TracedEmitter(*traced, source)) radiance = radiance - e;
          }
        }
        if (sources) {
          // The sources' own light goes to the starburst's image.
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

// The traced sources' ghosts: for each source and ghost path, rays from
// the source over the lens's front disc (a stratified grid of positions,
// each with its own direction in the cone the source fills from there),
// the same rays through every camera (the wavelengths), each landing ray's
// power times its path weight splatted into its pixel as irradiance.
// Sources and paths run in parallel in chunks, each into its own list,
// added in order: the same for any thread count.
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
  // The jobs: (source, path); source -1 is the sun.
  struct Job {
    int source, path, side;
  };
  std::vector<Job> jobs;
  auto side_of = [](int rays) { return std::max(1, int(std::sqrt(double(rays)))); };
  if (traced.sun)
    for (int p = 0; p < count; ++p) jobs.push_back({-1, p, side_of(traced.sun_rays)});
  for (size_t i = 0; i < traced.rays.size(); ++i)
    if (traced.rays[i] > 0)
      for (int p = 0; p < count; ++p) jobs.push_back({int(i), p, side_of(traced.rays[i])});
  if (jobs.empty()) return;
  const double area = 3.14159265358979323846 * double(radius_c) * radius_c;
  const double sun_cap = 1 - std::cos(traced.sun_radius_degrees * 3.14159265358979323846 / 180);
  const int w = s.width, h = s.height;
  struct Splat {
    uint32_t pixel;
    float rgb[3];
  };
  const int nthreads = std::max(1, s.threads);
  const size_t chunk = size_t(4 * nthreads);
  std::vector<std::vector<Splat>> lists(chunk);
  std::vector<double> added(size_t(w) * size_t(h) * 3, 0.0);
  uint64_t rays_traced = 0;
  for (size_t first = 0; first < jobs.size(); first += chunk) {
    const size_t last = std::min(jobs.size(), first + chunk);
    std::atomic<size_t> next{first};
    std::atomic<uint64_t> traced_here{0};
    auto worker = [&] {
      std::vector<Ray> rays;
      std::vector<float> xy, weights;
      std::vector<Vec3> power;  // per ray: radiance x cone x disc / rays / pixel area (0: none)
      for (size_t j; (j = next.fetch_add(1)) < last;) {
        const Job& job = jobs[j];
        std::vector<Splat>& out = lists[j - first];
        out.clear();
        const int side = job.side, n = side * side;
        rays.resize(size_t(n)), xy.resize(size_t(2 * n)), weights.resize(size_t(n)), power.assign(size_t(n), Vec3());
        Rng rng(s.seed * 0x2545f4914f6cdd1dull ^ (uint64_t(job.source + 1) << 32) ^ uint64_t(job.path + 1));
        for (int jy = 0; jy < side; ++jy)
          for (int ix = 0; ix < side; ++ix) {
            const size_t k = size_t(jy * side + ix);
            // A point of the front disc (concentric strata) and a direction
            // in the source's cone from there, from the stratum's numbers.
            const double u = (ix + rng.Uniform()) / side, v = (jy + rng.Uniform()) / side;
            const double rr = double(radius_c) * std::sqrt(u), phi = 2 * 3.14159265358979323846 * v;
            const double cone_u = rng.Uniform(), psi = 2 * 3.14159265358979323846 * rng.Uniform();
            const Vec3 at(centre_c[0] + rr * std::cos(phi), centre_c[1] + rr * std::sin(phi), centre_c[2]);
            const Point pw = camera->CameraToWorld(Point(float(at.x), float(at.y), float(at.z)));
            const Vec3 p(pw.x, pw.y, pw.z);
            Vec3 axis;
            double cap;
            if (job.source < 0) {
              axis = traced.sun_direction, cap = sun_cap;
            } else {
              const RadianceScene::Source& src = traced.sources[size_t(job.source)];
              const Vec3 to = src.centre - p;
              const double dist = std::sqrt(Dot(to, to));
              axis = to * (1 / dist), cap = OneMinusCos(std::min(1.0, src.radius / dist));
            }
            const double cz = 1 - cone_u * cap, sz = std::sqrt(std::max(0.0, 1 - cz * cz));
            const Vec3 a1 = Unit(std::fabs(axis.x) < 0.9 ? Vec3(0, -axis.z, axis.y) : Vec3(-axis.y, axis.x, 0));
            const Vec3 a2(axis.y * a1.z - axis.z * a1.y, axis.z * a1.x - axis.x * a1.z, axis.x * a1.y - axis.y * a1.x);
            // Toward the source, from the lens.
            const Vec3 back = Unit(axis * cz + a1 * (sz * std::cos(psi)) + a2 * (sz * std::sin(psi)));
            const Vector dc = camera->WorldToCamera(Vector(float(-back.x), float(-back.y), float(-back.z)));
            const Vec3 d = Unit(Vec3(dc.x, dc.y, dc.z));
            // On the plane of the front vertex, moved back along the ray so
            // that it starts in front of the lens (toward +z).
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
            const double solid_angle = 2 * 3.14159265358979323846 * cap;
            power[k] = radiance * (solid_angle * area / n / lt.pixel_area * std::fabs(d.z));
          }
        for (const CameraBand& tracer : tracers) {
          if (lt.trace(tracer.camera, pairs[size_t(2 * job.path)], pairs[size_t(2 * job.path + 1)], n, rays.data(),
                       xy.data(), weights.data()) != n)
            continue;
          traced_here += uint64_t(n);
          for (int k = 0; k < n; ++k) {
            const Vec3& pk = power[size_t(k)];
            if (!(weights[size_t(k)] > 0) || (pk.x == 0 && pk.y == 0 && pk.z == 0)) continue;
            const int x = int(xy[size_t(2 * k)]), y = int(xy[size_t(2 * k + 1)]);
            if (x < 0 || y < 0 || x >= w || y >= h) continue;
            const Vec3 v = pk * tracer.rgb * double(weights[size_t(k)]);
            out.push_back({uint32_t(y * w + x), {float(v.x), float(v.y), float(v.z)}});
          }
        }
      }
    };
    std::vector<std::thread> pool;
    for (int i = 1; i < std::min(nthreads, int(last - first)); ++i) pool.emplace_back(worker);
    worker();
    for (auto& t : pool) t.join();
    rays_traced += traced_here.load();
    for (size_t j = first; j < last; ++j)
      for (const Splat& sp : lists[j - first])
        for (int c = 0; c < 3; ++c) added[3 * size_t(sp.pixel) + size_t(c)] += sp.rgb[c];
  }
  // Onto the pixels rendered (a crop keeps its region).
  const bool crop = s.crop_x1 > 0;
  stats->light_rgb.assign(image->rgb.size(), 0.f);
  for (int y = 0; y < image->height; ++y)
    for (int x = 0; x < image->width; ++x) {
      const int gx = x + (crop ? s.crop_x0 : 0), gy = y + (crop ? s.crop_y0 : 0);
      const size_t from = 3 * (size_t(gy) * size_t(w) + size_t(gx)), to = 3 * (size_t(y) * size_t(image->width) + size_t(x));
      for (int c = 0; c < 3; ++c) {
        image->rgb[to + size_t(c)] = float(double(image->rgb[to + size_t(c)]) + added[from + size_t(c)]);
        stats->light_rgb[to + size_t(c)] = float(added[from + size_t(c)]);
      }
    }
  stats->light_paths = count;
  stats->light_rays = rays_traced;
  stats->light_sources = int(traced.sun) + int(std::count_if(traced.rays.begin(), traced.rays.end(), [](int r) { return r > 0; }));
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
    traced = PlanTracedSources((settings.light_traced.cameras.empty() ? bands : settings.light_traced.cameras)[0].camera,
                               scene, settings);
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
    std::vector<double> spread(image.rgb.size(), 0.0);
    for (int y = 0; y < image.height; ++y)
      for (int x = 0; x < image.width; ++x) {
        const size_t at = 3 * (size_t(y) * size_t(image.width) + size_t(x));
        const float* v = &sources[at];
        if (v[0] == 0.f && v[1] == 0.f && v[2] == 0.f) continue;
        for (int ky = std::max(-r, -y); ky <= std::min(r, image.height - 1 - y); ++ky)
          for (int kx = std::max(-r, -x); kx <= std::min(r, image.width - 1 - x); ++kx) {
            const double k = settings.starburst[size_t(ky + r) * size_t(side) + size_t(kx + r)];
            const size_t to = 3 * (size_t(y + ky) * size_t(image.width) + size_t(x + kx));
            spread[to] += k * v[0], spread[to + 1] += k * v[1], spread[to + 2] += k * v[2];
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
