// SPDX-License-Identifier: Apache-2.0
// OBJ scenes through Embree: BVH build time and rays per second on a
// generated mesh of about a million triangles (a bumpy terrain with a
// field of spheres on it), written to a temporary file and loaded the way
// `realcam render --scene` loads a user's file.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>

#include "render/obj_scene.h"

namespace {

// A 500 x 500 grid of quads (500,000 triangles) and 100 spheres of
// 48 x 96 quads (921,600 triangles): 1.42 M triangles in all.
std::string WriteMesh() {
  const std::string path = "/tmp/realcam-bench-mesh.obj";
  FILE* f = fopen(path.c_str(), "w");
  if (!f) exit(1);
  const int n = 500;
  for (int i = 0; i <= n; ++i)
    for (int j = 0; j <= n; ++j) {
      const double x = -10 + 20.0 * i / n, z = -10 + 20.0 * j / n;
      fprintf(f, "v %.4f %.4f %.4f\n", x, 0.15 * std::sin(x * 1.3) * std::cos(z * 0.9), z);
    }
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      const int a = i * (n + 1) + j + 1;
      fprintf(f, "f %d %d %d %d\n", a, a + 1, a + n + 2, a + n + 1);
    }
  int base = (n + 1) * (n + 1);
  const int rings = 48, segments = 96;
  for (int s = 0; s < 100; ++s) {
    const double cx = -8 + 1.6 * (s % 10), cz = -8 + 1.6 * (s / 10), r = 0.5;
    for (int i = 0; i <= rings; ++i)
      for (int j = 0; j < segments; ++j) {
        const double th = M_PI * i / rings, ph = 2 * M_PI * j / segments;
        fprintf(f, "v %.4f %.4f %.4f\n", cx + r * std::sin(th) * std::cos(ph), 0.6 + r * std::cos(th),
                cz + r * std::sin(th) * std::sin(ph));
      }
    for (int i = 0; i < rings; ++i)
      for (int j = 0; j < segments; ++j) {
        const int a = base + i * segments + j + 1, b = base + i * segments + (j + 1) % segments + 1;
        fprintf(f, "f %d %d %d %d\n", a, b, b + segments, a + segments);
      }
    base += (rings + 1) * segments;
  }
  fclose(f);
  return path;
}

const ObjScene& Mesh() {
  static std::unique_ptr<ObjScene> scene = [] {
    const std::string path = WriteMesh();
    const auto start = std::chrono::steady_clock::now();
    auto s = std::make_unique<ObjScene>(path, SunSky());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    fprintf(stderr, "mesh: %zu triangles, loaded and BVH built in %.2f s\n", s->TriangleCount(), seconds);
    return s;
  }();
  return *scene;
}

// Camera-like rays from above the terrain, spread over its middle.
Vec3 RayDirection(std::mt19937* rng) {
  std::uniform_real_distribution<double> u(-0.6, 0.6);
  return Unit(Vec3(u(*rng), -0.8, 1.0 + u(*rng)));
}

void BM_SceneIntersect(benchmark::State& state) {
  const ObjScene& scene = Mesh();
  std::mt19937 rng(unsigned(state.thread_index()) + 1);
  const Vec3 eye(0, 4, -12);
  double hits = 0;
  for (auto _ : state) {
    const double t = scene.Trace(eye, RayDirection(&rng));
    hits += std::isfinite(t);
    benchmark::DoNotOptimize(t);
  }
  state.counters["rays/s"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
  state.counters["hit"] = hits / double(state.iterations());
}
BENCHMARK(BM_SceneIntersect)->Threads(1)->Threads(2)->UseRealTime();

// The whole shading of one camera ray: the hit, sun and sky, an
// area-light sample, one bounce with its own shadow rays.
void BM_SceneRadiance(benchmark::State& state) {
  const ObjScene& scene = Mesh();
  std::mt19937 rng(unsigned(state.thread_index()) + 7);
  const Vec3 eye(0, 4, -12);
  uint64_t k = 0;
  for (auto _ : state) benchmark::DoNotOptimize(scene.Radiance(eye, RayDirection(&rng), ++k));
  state.counters["camera rays/s"] =
      benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SceneRadiance)->Threads(1)->Threads(2)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
