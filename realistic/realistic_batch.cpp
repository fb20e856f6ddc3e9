// The batch entry point: many samples through one call, with the same bits
// as GenerateRay for each.
//
// Samples are set up one by one (film point, lens point, film-side ray),
// exactly as GenerateRay sets them up. The trace through the surfaces, the
// costly part, runs W rays at a time in SIMD lanes (batch_kernel.inc): 8
// with AVX2 where the CPU has it, else 4 with SSE2. After each surface the
// surviving rays are packed together, so no lane works for a blocked ray.
// The leaving rays are then turned into the world and weighted one by one,
// again exactly as GenerateRay does it.
#include "realistic/realistic_batch.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "realistic/realistic_camera.h"

// The kernels' helpers pass vectors wider than the baseline's registers
// between internal functions; their ABI is nobody else's concern.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace {

enum Status : unsigned char { kTracing, kBlocked, kScalar };

// What the trace needs of a surface, from the film side.
struct SurfaceData {
  bool stop, refracts;
  float radius, center, zmin, zmax, zintercept, diameter;
  float ratio;  // index of the medium the ray leaves over that of the one it enters
};
struct SurfaceTable {
  std::vector<SurfaceData> surfaces;
};

// Structure of arrays: the traced ray of every sample.
struct RayState {
  std::vector<float> ox, oy, oz, dx, dy, dz;
  std::vector<unsigned char> status;
  explicit RayState(size_t n) : ox(n), oy(n), oz(n), dx(n), dy(n), dz(n), status(n, kTracing) {}
};

namespace sse2 {
constexpr int W = 4;
#define REALCAM_LANE_SQRT(v) (VF) _mm_sqrt_ps((__m128)(v))
#include "realistic/batch_kernel.inc"
#undef REALCAM_LANE_SQRT
}  // namespace sse2

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#pragma GCC push_options
#pragma GCC target("avx2")
namespace avx2 {
constexpr int W = 8;
#define REALCAM_LANE_SQRT(v) (VF) _mm256_sqrt_ps((__m256)(v))
#include "realistic/batch_kernel.inc"
#undef REALCAM_LANE_SQRT
}  // namespace avx2
#pragma GCC pop_options
#define REALCAM_HAVE_AVX2_KERNEL 1
#endif

}  // namespace

// Which lane width the CPU takes; REALCAM_BATCH_ISA would override it for
// tests that force each path.
int RealisticBatchWidth(int forced) {
#ifdef REALCAM_HAVE_AVX2_KERNEL
  if (forced == 8 || (forced == 0 && __builtin_cpu_supports("avx2"))) return 8;
#endif
  (void)forced;
  return 4;
}

int RealisticCamera::GenerateRays(int n, const Sample* samples, Ray* rays, float* weights,
                                  int lanes) const {
  // A few hundred rays at a time keep the traced state in the first-level
  // cache: one call with thousands runs at half the speed.
  constexpr int kChunk = 256;
  if (n > kChunk) {
    for (int first = 0; first < n; first += kChunk)
      GenerateRays(std::min(kChunk, n - first), samples + first, rays + first, weights + first, lanes);
    return n;
  }
  // A bladed stop tests its edges in the scalar code only.
  if (lens->GetInterfaces()[size_t(lens->GetIndexOfStop())].GetBlades() > 0) {
    for (int i = 0; i < n; ++i) weights[i] = GenerateRay(samples[i], &rays[i]);
    return n;
  }
  SurfaceTable table;
  const auto& s = lens->GetInterfaces();
  for (size_t i = 0; i < s.size(); ++i) {
    const float before = s[i].GetIndexOfRefractionPosZ();
    const float after = i == 0 ? 1.f : s[i - 1].GetIndexOfRefractionPosZ();
    table.surfaces.push_back({s[i].IsStop(), before != after, s[i].GetRadius(), s[i].GetCenter(),
                              s[i].GetZMin(), s[i].GetZMax(), s[i].GetAxisIntercept(),
                              s[i].GetDiameter(), before / after});
  }

  // Set up each sample's film-side ray as GenerateRay does.
  const size_t count = size_t(n);
  RayState state(count);
  std::vector<Ray> film_rays(count);
  std::vector<float> area(count, 0.f);
  std::vector<int> active, next;
  active.reserve(count);
  next.reserve(count);
  const float depth = lens->GetLensDepth();
  for (size_t i = 0; i < count; ++i) {
    const Sample& sample = samples[i];
    const Point fsample = FilmPoint(sample);
    bool inside = true;
    const Point lsample = pupil ? pupil->Sample(fsample.x, fsample.y, sample.lensU, sample.lensV,
                                                &area[i], &inside)
                                : lens->SampleBackElement(sample.lensU, sample.lensV);
    film_rays[i] = Ray(fsample, Normalize(lsample - fsample), 0.001f,
                       std::numeric_limits<float>::infinity(), 0.f);
    const Ray& r = film_rays[i];
    if (!inside) {
      state.status[i] = kBlocked;
      continue;
    }
    // The trace's entry conditions; a ray that fails them goes to the
    // scalar code, which reports it.
    if (!(r(r.mint).z > depth) || !(r.d.z < 0.f)) {
      state.status[i] = kScalar;
      continue;
    }
    state.ox[i] = r.o.x, state.oy[i] = r.o.y, state.oz[i] = r.o.z;
    state.dx[i] = r.d.x, state.dy[i] = r.d.y, state.dz[i] = r.d.z;
    active.push_back(int(i));
  }

#ifdef REALCAM_HAVE_AVX2_KERNEL
  if (RealisticBatchWidth(lanes) == 8)
    avx2::TraceLanes(table, &state, &active, &next);
  else
#endif
    sse2::TraceLanes(table, &state, &active, &next);
  (void)lanes;

  for (size_t i = 0; i < count; ++i) {
    if (state.status[i] == kScalar) {
      weights[i] = GenerateRay(samples[i], &rays[i]);
      continue;
    }
    const Ray& sRay = film_rays[i];
    if (state.status[i] == kBlocked) {
      rays[i] = sRay;
      rays[i].mint = 1.f;
      rays[i].maxt = 0.f;
      weights[i] = 0.f;
      continue;
    }
    // Through every surface: the leaving ray, as TraceFilmToWorld gives it.
    Ray rRay;
    rRay.o = Point(state.ox[i], state.oy[i], state.oz[i]);
    rRay.d = Normalize(Vector(state.dx[i], state.dy[i], state.dz[i]));
    ToWorld(&rRay, &rays[i]);
    const float costheta = CosTheta(sRay, rRay);
    weights[i] = pupil ? weight_scale * (area[i] / pupil->GetDiscArea()) * powf(costheta, 4.0f)
                       : weight_scale * powf(costheta, 4.0f);
  }
  return n;
}

extern "C" __attribute__((visibility("default"))) int RealisticGenerateRays(
    const Camera* camera, int n, const Sample* samples, Ray* rays, float* weights) {
  const RealisticCamera* realistic = dynamic_cast<const RealisticCamera*>(camera);
  if (!realistic || n < 0 || (n > 0 && (!samples || !rays || !weights))) return -1;
  try {
    return realistic->GenerateRays(n, samples, rays, weights, 0);
  } catch (const std::exception& e) {
    // As GenerateRay: a failed condition cannot be handed back.
    fprintf(stderr, "%s\n", e.what());
    std::abort();
  }
}
