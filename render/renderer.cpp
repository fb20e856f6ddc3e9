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
                      const RenderSettings& s, int tile, Image* image) {
  const int tiles_x = (s.width + kTile - 1) / kTile;
  const int x0 = (tile % tiles_x) * kTile, y0 = (tile / tiles_x) * kTile;
  const int n = s.spp;
  std::vector<int> perm_y(n), perm_u(n), perm_v(n), perm_band(n);
  const int nb = int(bands.size());
  TileCounts counts;
  std::vector<Sample> samples(static_cast<size_t>(n));
  std::vector<Ray> rays(static_cast<size_t>(n));
  std::vector<float> weights(static_cast<size_t>(n));
  for (int y = y0; y < std::min(y0 + kTile, s.height); ++y)
    for (int x = x0; x < std::min(x0 + kTile, s.width); ++x) {
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
        Sample& sample = samples[size_t(i)];
        sample.imageX = float(x) + (float(i) + rng.Uniform()) / float(n);
        sample.imageY = float(y) + (float(perm_y[i]) + rng.Uniform()) / float(n);
        sample.lensU = (float(perm_u[i]) + rng.Uniform()) / float(n);
        sample.lensV = (float(perm_v[i]) + rng.Uniform()) / float(n);
      }
      // The pixel's camera rays: in one call where the plug-in offers a
      // batch entry (the same bits), else one by one.
      if (nb == 1 && bands[0].batch) {
        bands[0].batch(bands[0].camera, n, samples.data(), rays.data(), weights.data());
      } else {
        for (int i = 0; i < n; ++i) {
          const CameraBand& band = bands[nb > 1 ? (band_offset + uint32_t(perm_band[i])) % uint32_t(nb) : 0];
          weights[size_t(i)] = band.camera->GenerateRay(samples[size_t(i)], &rays[size_t(i)]);
        }
      }
      Vec3 sum;
      for (int i = 0; i < n; ++i) {
        const CameraBand& band = bands[nb > 1 ? (band_offset + uint32_t(perm_band[i])) % uint32_t(nb) : 0];
        const Ray& ray = rays[size_t(i)];
        const float weight = weights[size_t(i)];
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
        const Vec3 radiance = scene.Radiance(o, d, scene_rng.Next());
        if (nb > 1)
          sum += radiance * band.rgb * (double(weight) * nb);
        else
          sum += radiance * double(weight);
      }
      float* px = &image->rgb[3 * (size_t(y) * size_t(s.width) + size_t(x))];
      px[0] = float(sum.x / n);
      px[1] = float(sum.y / n);
      px[2] = float(sum.z / n);
    }
  return counts;
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
  image.width = settings.width;
  image.height = settings.height;
  image.rgb.assign(size_t(settings.width) * size_t(settings.height) * 3, 0.f);
  const int tiles = ((settings.width + kTile - 1) / kTile) * ((settings.height + kTile - 1) / kTile);

  std::atomic<int> next{0}, done{0};
  std::atomic<uint64_t> samples{0}, blocked{0};
  auto worker = [&] {
    TileCounts local;
    for (int t; (t = next.fetch_add(1)) < tiles;) {
      const TileCounts c = RenderTile(bands, scene, settings, t, &image);
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
