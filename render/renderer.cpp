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

TileCounts RenderTile(const std::vector<CameraBand>& bands, const RadianceScene& scene,
                      const RenderSettings& s, int tile, Image* image, std::vector<float>* sources) {
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
    if (s.light_traced.is_ghost) {
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
        // The sun's ghosts come from the light: a sample on a ghost path
        // gives none of the sun's own disc.
        if (s.light_traced.is_ghost && s.light_traced.is_ghost(band.camera, &in_order[k]) == 1)
          radiance = radiance - scene.SunSeen(o, d);
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

// The sun's ghosts traced from the light: for each ghost path the camera
// lists, rays from the sun's disc over the lens's front aperture (a
// stratified grid of positions, each with its own direction in the disc),
// each landing ray's power times its path weight splatted into its pixel
// as irradiance. Paths run in parallel, each into its own image, summed in
// path order: the same for any thread count.
void TraceSunFlare(const std::vector<CameraBand>& bands, const RadianceScene& scene, const RenderSettings& s,
                   Image* image, RenderStats* stats) {
  Vec3 sun_dir, sun_e;
  double radius_deg = 0;
  if (!scene.Sun(&sun_dir, &sun_e, &radius_deg)) return;
  const auto& lt = s.light_traced;
  const CameraBand& band = bands[0];
  const Camera* camera = band.camera;
  const int count = lt.paths(camera, nullptr, 0);
  if (count <= 0) return;
  std::vector<int> pairs(size_t(2 * count));
  lt.paths(camera, pairs.data(), count);
  float centre[3], radius = 0;
  if (lt.front(camera, centre, &radius) != 0) return;
  // The light's direction in camera space (it travels away from the sun),
  // and a frame around it.
  const Vector travel_c = camera->WorldToCamera(Vector(float(-sun_dir.x), float(-sun_dir.y), float(-sun_dir.z)));
  const Vec3 axis = Unit(Vec3(travel_c.x, travel_c.y, travel_c.z));
  // Camera space looks along +z: light from the scene travels toward -z.
  if (!(axis.z < 0)) return;  // the sun behind the camera
  const Vec3 e1 = Unit(std::fabs(axis.x) < 0.9 ? Vec3(axis.z, 0, -axis.x) : Vec3(0, axis.z, -axis.y));
  const Vec3 e2 = Vec3(axis.y * e1.z - axis.z * e1.y, axis.z * e1.x - axis.x * e1.z, axis.x * e1.y - axis.y * e1.x);
  const double cos_r = std::cos(radius_deg * 3.14159265358979323846 / 180);
  const int side = std::max(1, int(std::sqrt(double(lt.rays_per_path))));
  const int n = side * side;
  const double area = 3.14159265358979323846 * double(radius) * radius;
  // Each ray's power over a pixel's area, per unit of the sun's
  // irradiance, before the cosine of its angle to the axis.
  const double per_ray = area / n / lt.pixel_area;
  const int w = s.width, h = s.height;
  std::vector<std::vector<float>> parts(static_cast<size_t>(count));
  std::atomic<int> next{0};
  auto worker = [&] {
    std::vector<Ray> rays(static_cast<size_t>(n));
    std::vector<float> xy(static_cast<size_t>(2 * n)), weights(static_cast<size_t>(n));
    std::vector<unsigned char> seen(static_cast<size_t>(n));
    for (int p; (p = next.fetch_add(1)) < count;) {
      Rng rng(s.seed * 0x2545f4914f6cdd1dull ^ uint64_t(p + 1));
      for (int j = 0; j < side; ++j)
        for (int i = 0; i < side; ++i) {
          const size_t k = size_t(j * side + i);
          // A point of the front disc (concentric strata) and a direction
          // in the sun's cone, both from the stratum's random numbers.
          const double u = (i + rng.Uniform()) / side, v = (j + rng.Uniform()) / side;
          const double rr = double(radius) * std::sqrt(u), phi = 2 * 3.14159265358979323846 * v;
          const double cz = 1 - rng.Uniform() * (1 - cos_r), sz = std::sqrt(std::max(0.0, 1 - cz * cz));
          const double psi = 2 * 3.14159265358979323846 * rng.Uniform();
          const Vec3 d = axis * cz + e1 * (sz * std::cos(psi)) + e2 * (sz * std::sin(psi));
          // On the plane z = front vertex (camera space), moved back along
          // the ray so that it starts in front of the lens (toward +z).
          const Vec3 at(centre[0] + rr * std::cos(phi), centre[1] + rr * std::sin(phi), centre[2]);
          const Vec3 o = at - d * (4.0 * radius / std::fabs(d.z));
          rays[k] = Ray(Point(float(o.x), float(o.y), float(o.z)), Vector(float(d.x), float(d.y), float(d.z)));
          // Whether the scene lets the sun's light reach that point.
          const Point pw = camera->CameraToWorld(Point(float(at.x), float(at.y), float(at.z)));
          const Vector dw = camera->CameraToWorld(Vector(float(-d.x), float(-d.y), float(-d.z)));
          const Vec3 back = Unit(Vec3(dw.x, dw.y, dw.z));
          const Vec3 sun_seen = scene.SunSeen(Vec3(pw.x, pw.y, pw.z), back);
          seen[k] = sun_seen.x > 0 || sun_seen.y > 0 || sun_seen.z > 0;
        }
      std::vector<float>& part = parts[size_t(p)];
      part.assign(size_t(w) * size_t(h), 0.f);
      if (lt.trace(camera, pairs[size_t(2 * p)], pairs[size_t(2 * p + 1)], n, rays.data(), xy.data(), weights.data()) != n)
        continue;
      for (int k = 0; k < n; ++k) {
        if (!(weights[size_t(k)] > 0) || !seen[size_t(k)]) continue;
        const int x = int(xy[size_t(2 * k)]), y = int(xy[size_t(2 * k + 1)]);
        if (x < 0 || y < 0 || x >= w || y >= h) continue;
        part[size_t(y) * size_t(w) + size_t(x)] += float(per_ray * std::fabs(rays[size_t(k)].d.z) * weights[size_t(k)]);
      }
    }
  };
  const int nthreads = std::max(1, std::min(s.threads, count));
  std::vector<std::thread> pool;
  for (int i = 1; i < nthreads; ++i) pool.emplace_back(worker);
  worker();
  for (auto& t : pool) t.join();
  // In path order, onto the pixels rendered (a crop keeps its region).
  const bool crop = s.crop_x1 > 0;
  std::vector<double> added(image->rgb.size(), 0.0);
  for (int p = 0; p < count; ++p)
    for (int y = 0; y < image->height; ++y)
      for (int x = 0; x < image->width; ++x) {
        const int gx = x + (crop ? s.crop_x0 : 0), gy = y + (crop ? s.crop_y0 : 0);
        const double v = parts[size_t(p)][size_t(gy) * size_t(w) + size_t(gx)];
        if (v == 0) continue;
        double* px = &added[3 * (size_t(y) * size_t(image->width) + size_t(x))];
        px[0] += v * sun_e.x * band.rgb.x, px[1] += v * sun_e.y * band.rgb.y, px[2] += v * sun_e.z * band.rgb.z;
      }
  stats->light_rgb.assign(added.size(), 0.f);
  for (size_t i = 0; i < added.size(); ++i) {
    image->rgb[i] = float(double(image->rgb[i]) + added[i]);
    stats->light_rgb[i] = float(added[i]);
  }
  stats->light_paths = count;
  stats->light_rays = uint64_t(count) * uint64_t(n);
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
  std::atomic<int> next{0}, done{0};
  std::atomic<uint64_t> samples{0}, blocked{0};
  auto worker = [&] {
    TileCounts local;
    for (int t; (t = next.fetch_add(1)) < tiles;) {
      const TileCounts c = RenderTile(bands, scene, settings, t, &image, sources_ptr);
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
  if (settings.light_traced.trace && settings.light_traced.rays_per_path > 0) {
    const auto light_start = std::chrono::steady_clock::now();
    TraceSunFlare(bands, scene, settings, &image, stats);
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
