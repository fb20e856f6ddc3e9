// SPDX-License-Identifier: Apache-2.0
// The batch entry point: many samples through one call, with the same bits
// as GenerateRay for each.
//
// Per chunk of 256 samples: each sample's film point and lens point are
// found one by one, exactly as GenerateRay finds them (the lens point
// comes from the host's disc mapping or the exit pupil). From there on the
// work runs in SIMD lanes (batch_kernel.inc): the film-side rays are
// formed and checked, then traced through the surfaces, 16 lanes at a
// time with AVX-512, 8 with AVX2, 8 in two registers with SSE2, whichever
// the CPU has. The rays are kept in structure-of-arrays form and, after
// each surface, the surviving ones are packed in place to the front (a
// lane permutation or compress), so no lane works for a blocked ray and
// every load is a whole vector. The leaving rays are then turned into the
// world and weighted one by one, again exactly as GenerateRay does it.
#include "realistic/realistic_batch.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "realistic/ghost_trace.h"
#include "realistic/realistic_camera.h"
#include "realistic/refract.h"


namespace {

enum Status : unsigned char { kPassed, kBlocked, kScalar };

// Rays are traced a chunk at a time: a few hundred keep the traced state
// in the first-level cache (one call with thousands runs at half the speed).
constexpr int kChunk = 256;
constexpr int kMaxWidth = 16;

// What the trace needs of a surface, from the film side.
struct SurfaceData {
  bool stop, refracts;
  float radius, center, zmin, zmax, zintercept, diameter;
  float ratio;  // index of the medium the ray leaves over that of the one it enters
  // A bladed stop's polygon (the camera's, never changed): null for round.
  const LensInterface::Iris* iris;
  double apothem;  // 0.5 |diameter| cos(pi / blades), as the stop forms it
};

// The rays still being traced, structure of arrays, packed at the start:
// origin, direction and the sample each belongs to. The arrays reach a
// lane width past the chunk so that whole vectors load and store at the
// tail.
struct Lanes {
  alignas(32) float ox[kChunk + kMaxWidth], oy[kChunk + kMaxWidth], oz[kChunk + kMaxWidth];
  alignas(32) float dx[kChunk + kMaxWidth], dy[kChunk + kMaxWidth], dz[kChunk + kMaxWidth];
  alignas(32) int id[kChunk + kMaxWidth];
  int count;
};

// What the trace in double needs of a surface, from the film side.
struct ExactSurfaceData {
  bool stop, refracts;
  double radius, center, zmin, zmax, zintercept, diameter;
  double ratio;  // index of the medium the ray leaves over that of the one it enters
  const LensInterface::Iris* iris;
  double apothem;
};

// What a lens-flare path needs of a surface (lo and hi: the cap's bounds
// with the vertex's side open; planar: the stop or a flat surface).
struct GhostSurfaceData {
  double radius, center, zintercept, diameter, lo, hi, index;
  // The index ratio n1 / n2 met going toward the front (from this
  // surface's medium into the one before it) and toward the back.
  double eta_to_front, eta_to_back;
  bool planar;
  const LensInterface* shape;  // for a bladed stop's polygon
};

// One flare path in the lanes: its starting ray (unit direction), weight
// and plan in; its ray where it ended and reflections taken out, and
// whether it passed (then the ray is the leaving one, its direction unit,
// and the weight is times the path's factor; a blocked path's weight is
// left as it came).
struct GhostLane {
  double ox, oy, oz, dx, dy, dz, weight;
  int count, chosen[4];
  int taken;
  bool passed;
  int slot;  // which of the call's samples
};

// Rays traced in double, structure of arrays, one lane per ray in order.
struct ExactLanes {
  alignas(64) double ox[kChunk + kMaxWidth], oy[kChunk + kMaxWidth], oz[kChunk + kMaxWidth];
  alignas(64) double dx[kChunk + kMaxWidth], dy[kChunk + kMaxWidth], dz[kChunk + kMaxWidth];
};

// Each sample's film point (its z is the film plane's, the same for all)
// and lens point, whether the lens point lies in the exit pupil's
// rectangle and the rectangle's area, and the film-side ray's direction
// formed from the two points.
struct FilmSide {
  alignas(32) float fx[kChunk + kMaxWidth], fy[kChunk + kMaxWidth], fz[kChunk + kMaxWidth];
  alignas(32) float lx[kChunk + kMaxWidth], ly[kChunk + kMaxWidth], lz[kChunk + kMaxWidth];
  alignas(32) float dx[kChunk + kMaxWidth], dy[kChunk + kMaxWidth], dz[kChunk + kMaxWidth];
  alignas(32) float area[kChunk + kMaxWidth];
  unsigned char inside[kChunk + kMaxWidth];
};

namespace sse2 {
constexpr int R = 4, G = 2, D = 2;
#define REALCAM_LANE_SQRT(v) _mm_sqrt_ps((__m128)(v))
#define REALCAM_LANE_MOVEMASK(m) _mm_movemask_ps((__m128)(m))
#define REALCAM_LANE_LT_D(a, b) _mm_movemask_pd(_mm_cmplt_pd((__m128d)(a), (__m128d)(b)))
#define REALCAM_LANE_LE_D(a, b) _mm_movemask_pd(_mm_cmple_pd((__m128d)(a), (__m128d)(b)))
#define REALCAM_LANE_MOVEMASK_D(m) _mm_movemask_pd((__m128d)(m))
#define REALCAM_LANE_SQRT_D(v) _mm_sqrt_pd((__m128d)(v))
#define REALCAM_LANE_GATHER_D(base, index) _mm_set_pd((base)[(index)[1]], (base)[(index)[0]])
#include "realistic/batch_kernel.inc"
#include "realistic/batch_exact_kernel.inc"
#include "realistic/batch_ghost_kernel.inc"
#undef REALCAM_LANE_MOVEMASK_D
#undef REALCAM_LANE_SQRT_D
#undef REALCAM_LANE_GATHER_D
#undef REALCAM_LANE_SQRT
#undef REALCAM_LANE_MOVEMASK
#undef REALCAM_LANE_LT_D
#undef REALCAM_LANE_LE_D
}  // namespace sse2

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
constexpr int R = 8, G = 1, D = 4;
// For each mask of 8 lanes, the lanes whose bit is set, in order.
struct PackTable {
  alignas(32) int lanes[256][8];
};
constexpr PackTable MakePackTable() {
  PackTable t{};
  for (int m = 0; m < 256; ++m)
    for (int l = 0, o = 0; l < 8; ++l)
      if (m >> l & 1) t.lanes[m][o++] = l;
  return t;
}
constexpr PackTable kPack = MakePackTable();
#define REALCAM_LANE_SQRT(v) _mm256_sqrt_ps((__m256)(v))
#define REALCAM_LANE_MOVEMASK(m) _mm256_movemask_ps((__m256)(m))
#define REALCAM_LANE_LT_D(a, b) \
  _mm256_movemask_pd(_mm256_cmp_pd((__m256d)(a), (__m256d)(b), _CMP_LT_OQ))
#define REALCAM_LANE_LE_D(a, b) \
  _mm256_movemask_pd(_mm256_cmp_pd((__m256d)(a), (__m256d)(b), _CMP_LE_OQ))
#define REALCAM_LANE_PERMUTE(v, mask) \
  _mm256_permutevar8x32_ps((__m256)(v), _mm256_load_si256((const __m256i*)kPack.lanes[mask]))
#define REALCAM_LANE_MOVEMASK_D(m) _mm256_movemask_pd((__m256d)(m))
#define REALCAM_LANE_SQRT_D(v) _mm256_sqrt_pd((__m256d)(v))
#define REALCAM_LANE_GATHER_D(base, index) _mm256_i64gather_pd((base), (__m256i)(index), 8)
#include "realistic/batch_kernel.inc"
#include "realistic/batch_exact_kernel.inc"
#include "realistic/batch_ghost_kernel.inc"
#undef REALCAM_LANE_MOVEMASK_D
#undef REALCAM_LANE_SQRT_D
#undef REALCAM_LANE_GATHER_D
#undef REALCAM_LANE_SQRT
#undef REALCAM_LANE_MOVEMASK
#undef REALCAM_LANE_LT_D
#undef REALCAM_LANE_LE_D
#undef REALCAM_LANE_PERMUTE
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#define REALCAM_HAVE_AVX2_KERNEL 1

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx512f"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx512f")
#endif
namespace avx512 {
constexpr int R = 16, G = 1, D = 8;
// (The zero-masked form: the plain one's "undefined" pass-through value
// trips GCC's uninitialised-use warning.)
#define REALCAM_LANE_SQRT(v) _mm512_maskz_sqrt_ps(__mmask16(0xffff), (__m512)(v))
#define REALCAM_LANE_MOVEMASK(m) int(_mm512_cmplt_epi32_mask((__m512i)(m), _mm512_setzero_si512()))
#define REALCAM_LANE_LT_D(a, b) int(_mm512_cmp_pd_mask((__m512d)(a), (__m512d)(b), _CMP_LT_OQ))
#define REALCAM_LANE_LE_D(a, b) int(_mm512_cmp_pd_mask((__m512d)(a), (__m512d)(b), _CMP_LE_OQ))
#define REALCAM_LANE_PERMUTE(v, mask) _mm512_maskz_compress_ps(__mmask16(mask), (__m512)(v))
#define REALCAM_LANE_MOVEMASK_D(m) int(_mm512_cmplt_epi64_mask((__m512i)(m), _mm512_setzero_si512()))
#define REALCAM_LANE_SQRT_D(v) _mm512_maskz_sqrt_pd(__mmask8(0xff), (__m512d)(v))
#define REALCAM_LANE_GATHER_D(base, index) \
  _mm512_mask_i64gather_pd(_mm512_setzero_pd(), __mmask8(0xff), (__m512i)(index), (base), 8)
#define REALCAM_LANE_SCATTER_D(base, index, v) _mm512_i64scatter_pd((base), (__m512i)(index), (__m512d)(v), 8)
#include "realistic/batch_kernel.inc"
#include "realistic/batch_exact_kernel.inc"
#include "realistic/batch_ghost_kernel.inc"
#undef REALCAM_LANE_MOVEMASK_D
#undef REALCAM_LANE_SQRT_D
#undef REALCAM_LANE_GATHER_D
#undef REALCAM_LANE_SCATTER_D
#undef REALCAM_LANE_SQRT
#undef REALCAM_LANE_MOVEMASK
#undef REALCAM_LANE_LT_D
#undef REALCAM_LANE_LE_D
#undef REALCAM_LANE_PERMUTE
}  // namespace avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#define REALCAM_HAVE_AVX512_KERNEL 1
#endif

}  // namespace

// The instruction set the trace runs in, by its register width in floats:
// 16 AVX-512, 8 AVX2, 4 SSE2. 0 takes the widest the CPU has; tests and
// benchmarks force the others (only ones the CPU has).
int RealisticBatchWidth(int forced) {
#ifdef REALCAM_HAVE_AVX512_KERNEL
  if (forced == 16 || (forced == 0 && __builtin_cpu_supports("avx512f"))) return 16;
#endif
#ifdef REALCAM_HAVE_AVX2_KERNEL
  if (forced == 8 || (forced == 0 && __builtin_cpu_supports("avx2"))) return 8;
#endif
  (void)forced;
  return 4;
}

namespace {

// What the lanes need of each surface, from the film side.
std::vector<SurfaceData> SurfaceTable(const LensStack& lens) {
  std::vector<SurfaceData> table;
  const auto& s = lens.GetInterfaces();
  for (size_t i = 0; i < s.size(); ++i) {
    const float before = s[i].GetIndexOfRefractionPosZ();
    const float after = i == 0 ? 1.f : s[i - 1].GetIndexOfRefractionPosZ();
    // A plane refracting surface is met as the stop's plane is.
    const LensInterface::Iris* iris = s[i].GetIris();
    table.push_back({s[i].IsStop() || s[i].IsPlane(), before != after, s[i].GetRadius(), s[i].GetCenter(),
                     s[i].VertexSideOpenMin(), s[i].VertexSideOpenMax(), s[i].GetAxisIntercept(),
                     s[i].GetDiameter(), before / after, iris,
                     iris ? 0.5 * std::fabs(double(s[i].GetDiameter())) * iris->cos_half_angle : 0.0});
  }
  return table;
}

std::vector<ExactSurfaceData> ExactSurfaceTable(const LensStack& lens) {
  std::vector<ExactSurfaceData> table;
  const auto& s = lens.GetExactSurfaces();
  for (size_t i = 0; i < s.size(); ++i) {
    const double before = s[i].index, after = i == 0 ? 1.0 : s[i - 1].index;
    const LensInterface& shape = lens.GetInterfaces()[i];
    const LensInterface::Iris* iris = shape.GetIris();
    // The vertex's side of the cap open, as in the scalar trace.
    const double zmin = s[i].radius > 0 ? -INFINITY : s[i].zmin, zmax = s[i].radius < 0 ? INFINITY : s[i].zmax;
    table.push_back({s[i].IsStop() || shape.IsPlane(), before != after, s[i].radius, s[i].center, zmin,
                     zmax, s[i].zintercept, s[i].diameter, before / after, iris,
                     iris ? 0.5 * std::fabs(double(shape.GetDiameter())) * iris->cos_half_angle : 0.0});
  }
  return table;
}

// Aspheres, mirrors and obscured surfaces are traced in the scalar code
// only.
bool ScalarOnly(const LensStack& lens) {
  for (const LensInterface& surface : lens.GetInterfaces())
    if (surface.GetAsphere() || surface.IsMirror() || surface.GetObscuration() > 0.f) return true;
  return false;
}

}  // namespace

void TraceFilmRaysPass(const LensStack& lens, float film_z, int n, const float* fx, const float* fy,
                       const float* lx, const float* ly, unsigned char* pass) {
  const float back_z = lens.GetLensDepth();
  // Whether one ray passes, through the lens's own trace; a ray that fails
  // a trace condition counts as passing.
  auto scalar = [&](int i) {
    const Point film(fx[i], fy[i], film_z);
    const Ray ray(film, Normalize(Point(lx[i], ly[i], back_z) - film), 0.001f,
                  std::numeric_limits<float>::infinity(), 0.f);
    Ray out;
    try {
      return (unsigned char)lens.TraceFilmToWorld(ray, &out);
    } catch (const LensError&) {
      return (unsigned char)1;
    }
  };
  if (ScalarOnly(lens)) {
    for (int i = 0; i < n; ++i) pass[i] = scalar(i);
    return;
  }
  const int width = RealisticBatchWidth(0);
  if (!lens.IsExact()) {
    const std::vector<SurfaceData> table = SurfaceTable(lens);
    auto set_up = sse2::SetUpLanes;
    auto trace = sse2::TraceLanes;
#ifdef REALCAM_HAVE_AVX512_KERNEL
    if (width == 16) set_up = avx512::SetUpLanes, trace = avx512::TraceLanes;
#endif
#ifdef REALCAM_HAVE_AVX2_KERNEL
    if (width == 8) set_up = avx2::SetUpLanes, trace = avx2::TraceLanes;
#endif
    FilmSide f;
    Lanes l;
    unsigned char status[kChunk];
    for (int first = 0; first < n; first += kChunk) {
      const int count = std::min(kChunk, n - first);
      for (int i = 0; i < count + kMaxWidth; ++i) {
        const int k = first + std::min(i, count - 1);
        f.fx[i] = fx[k], f.fy[i] = fy[k], f.fz[i] = film_z, f.lx[i] = lx[k], f.ly[i] = ly[k], f.lz[i] = back_z;
        f.inside[i] = i < count;
        if (i < count) status[i] = kBlocked;
      }
      set_up(count, back_z, &f, &l, status);
      for (int k = l.count; k < l.count + kMaxWidth && l.count > 0; ++k) {
        const int last = l.count - 1;
        l.ox[k] = l.ox[last], l.oy[k] = l.oy[last], l.oz[k] = l.oz[last];
        l.dx[k] = l.dx[last], l.dy[k] = l.dy[last], l.dz[k] = l.dz[last];
        l.id[k] = l.id[last];
      }
      trace(table.data(), int(table.size()), &l, status);
      for (int k = 0; k < l.count; ++k) status[l.id[k]] = kPassed;
      for (int i = 0; i < count; ++i)
        pass[first + i] = status[i] == kScalar ? scalar(first + i) : (unsigned char)(status[i] == kPassed);
    }
    return;
  }
  // In double, from the float film rays widened, as the exact lens traces them.
  const std::vector<ExactSurfaceData> table = ExactSurfaceTable(lens);
  auto trace = sse2::TraceExactLanes;
#ifdef REALCAM_HAVE_AVX512_KERNEL
  if (width == 16) trace = avx512::TraceExactLanes;
#endif
#ifdef REALCAM_HAVE_AVX2_KERNEL
  if (width == 8) trace = avx2::TraceExactLanes;
#endif
  ExactLanes l;
  unsigned char state[kChunk + kMaxWidth];
  int index[kChunk];
  for (int first = 0; first < n; first += kChunk) {
    const int size = std::min(kChunk, n - first);
    int count = 0;
    for (int i = 0; i < size; ++i) {
      const int k = first + i;
      const Point film(fx[k], fy[k], film_z);
      const Ray ray(film, Normalize(Point(lx[k], ly[k], back_z) - film), 0.001f,
                    std::numeric_limits<float>::infinity(), 0.f);
      // The trace's entry conditions, asked of the ray as the scalar
      // trace asks them; the rest go there.
      if (!IsFinite(ray.d) || !(ray.d.z < 0) || !(double(ray.o.z) + double(ray.d.z) * double(ray.mint) >
                                                 lens.GetLensDepthExact())) {
        pass[k] = scalar(k);
        continue;
      }
      l.ox[count] = ray.o.x, l.oy[count] = ray.o.y, l.oz[count] = ray.o.z;
      l.dx[count] = ray.d.x, l.dy[count] = ray.d.y, l.dz[count] = ray.d.z;
      index[count++] = k;
    }
    if (count == 0) continue;
    const int padded = (count + kMaxWidth - 1) / kMaxWidth * kMaxWidth;
    for (int k = count; k < padded; ++k) {
      l.ox[k] = l.ox[count - 1], l.oy[k] = l.oy[count - 1], l.oz[k] = l.oz[count - 1];
      l.dx[k] = l.dx[count - 1], l.dy[k] = l.dy[count - 1], l.dz[k] = l.dz[count - 1];
    }
    trace(table.data(), int(table.size()), &l, padded, state);
    for (int k = 0; k < count; ++k)
      pass[index[k]] = state[k] == kScalar ? scalar(index[k]) : (unsigned char)(state[k] == kPassed);
  }
}

int RealisticCamera::GenerateRays(int n, const Sample* samples, Ray* rays, float* weights,
                                  int lanes) const {
  // Aspheres, mirrors and obscurations are traced in the scalar code
  // only; flare paths have lanes of their own.
  if (reflections > 0 && !ScalarOnly(*lens)) return GenerateRaysGhost(n, samples, rays, weights, lanes);
  if (reflections > 0 || ScalarOnly(*lens)) {
    for (int i = 0; i < n; ++i) weights[i] = GenerateRay(samples[i], &rays[i]);
    return n;
  }
  if (exact) return GenerateRaysExact(n, samples, rays, weights, lanes);
  const std::vector<SurfaceData> table = SurfaceTable(*lens);
  auto set_up = sse2::SetUpLanes;
  auto trace = sse2::TraceLanes;
  switch (RealisticBatchWidth(lanes)) {
#ifdef REALCAM_HAVE_AVX512_KERNEL
    case 16:
      set_up = avx512::SetUpLanes, trace = avx512::TraceLanes;
      break;
#endif
#ifdef REALCAM_HAVE_AVX2_KERNEL
    case 8:
      set_up = avx2::SetUpLanes, trace = avx2::TraceLanes;
      break;
#endif
    default:
      break;
  }

  FilmSide f;
  Lanes l;
  unsigned char status[kChunk];
  for (int first = 0; first < n; first += kChunk) {
    const int count = std::min(kChunk, n - first);
    const Sample* chunk = samples + first;
    // Each sample's film point and lens point, as GenerateRay finds them.
    if (pupil) {
      // The film points first, then the pupil's points for them: in one
      // loop the call took 15% longer (measured; apparently the pupil's
      // square roots and divisions of many samples overlap only when
      // nothing else lies between them).
      for (int i = 0; i < count; ++i) {
        const Point fsample = FilmPoint(chunk[i]);
        f.fx[i] = fsample.x, f.fy[i] = fsample.y, f.fz[i] = fsample.z;
      }
      for (int i = 0; i < count; ++i) {
        bool inside = true;
        const Point lsample =
            pupil->Sample(f.fx[i], f.fy[i], chunk[i].lensU, chunk[i].lensV, &f.area[i], &inside, f.fz[i]);
        f.lx[i] = lsample.x, f.ly[i] = lsample.y, f.lz[i] = lsample.z;
        f.inside[i] = inside;
        status[i] = kBlocked;
      }
    } else {
      for (int i = 0; i < count; ++i) {
        const Sample& sample = chunk[i];
        const Point fsample = FilmPoint(sample);
        const Point lsample = lens->SampleBackElement(sample.lensU, sample.lensV);
        f.fx[i] = fsample.x, f.fy[i] = fsample.y, f.fz[i] = fsample.z;
        f.lx[i] = lsample.x, f.ly[i] = lsample.y, f.lz[i] = lsample.z;
        f.inside[i] = true;
        status[i] = kBlocked;
      }
    }
    // The lanes past the last sample compute on copies of it, and are
    // dropped.
    for (int i = count; i < count + kMaxWidth; ++i) {
      f.fx[i] = f.fx[count - 1], f.fy[i] = f.fy[count - 1], f.fz[i] = f.fz[count - 1];
      f.lx[i] = f.lx[count - 1], f.ly[i] = f.ly[count - 1], f.lz[i] = f.lz[count - 1];
      f.inside[i] = 0;
    }

    // The film-side rays, and the ones to trace packed into the lanes.
    set_up(count, lens->GetLensDepth(), &f, &l, status);
    // Lanes past the last ray compute on copies of it, and are dropped.
    for (int k = l.count; k < l.count + kMaxWidth && l.count > 0; ++k) {
      const int last = l.count - 1;
      l.ox[k] = l.ox[last], l.oy[k] = l.oy[last], l.oz[k] = l.oz[last];
      l.dx[k] = l.dx[last], l.dy[k] = l.dy[last], l.dz[k] = l.dz[last];
      l.id[k] = l.id[last];
    }
    trace(table.data(), int(table.size()), &l, status);

    // Through every surface: the leaving rays, as TraceFilmToWorld gives
    // them, into the world, with their weights.
    for (int k = 0; k < l.count; ++k) {
      const int i = l.id[k];
      status[i] = kPassed;
      Ray rRay;
      rRay.o = Point(l.ox[k], l.oy[k], l.oz[k]);
      rRay.d = Normalize(Vector(l.dx[k], l.dy[k], l.dz[k]));
      Ray* ray = rays + first + i;
      ToWorld(&rRay, ray);
      const Ray sRay(Point(f.fx[i], f.fy[i], f.fz[i]), Vector(f.dx[i], f.dy[i], f.dz[i]));
      const float costheta = CosTheta(sRay, rRay);
      weights[first + i] = Weight(costheta, f.area[i]);
    }
    for (int i = 0; i < count; ++i) {
      if (status[i] == kScalar) {
        weights[first + i] = GenerateRay(chunk[i], &rays[first + i]);
      } else if (status[i] == kBlocked) {
        // The film-side ray, empty (mint > maxt).
        rays[first + i] = Ray(Point(f.fx[i], f.fy[i], f.fz[i]), Vector(f.dx[i], f.dy[i], f.dz[i]),
                              1.f, 0.f, 0.f);
        weights[first + i] = 0.f;
      }
    }
  }
  return n;
}

namespace {

std::vector<GhostSurfaceData> GhostSurfaceTable(const LensStack& lens) {
  const auto& s = lens.GetExactSurfaces();
  std::vector<GhostSurfaceData> table;
  for (size_t i = 0; i < s.size(); ++i) {
    const LensInterface& shape = lens.GetInterfaces()[i];
    const double front = i == 0 ? 1.0 : s[i - 1].index;
    table.push_back({s[i].radius, s[i].center, s[i].zintercept, s[i].diameter,
                     s[i].radius > 0 ? -INFINITY : s[i].zmin, s[i].radius < 0 ? INFINITY : s[i].zmax,
                     s[i].index, s[i].index / front, front / s[i].index, s[i].IsStop() || shape.IsPlane(), &shape});
  }
  return table;
}

using GhostLanesFn = void (*)(const GhostSurfaceData*, int, bool, double, GhostLane*, int, bool);

GhostLanesFn GhostLanesOfWidth(int lanes) {
  switch (RealisticBatchWidth(lanes)) {
#ifdef REALCAM_HAVE_AVX512_KERNEL
    case 16:
      return avx512::TraceGhostLanes;
#endif
#ifdef REALCAM_HAVE_AVX2_KERNEL
    case 8:
      return avx2::TraceGhostLanes;
#endif
    default:
      return sse2::TraceGhostLanes;
  }
}

}  // namespace

bool RealisticCamera::GhostLanesFromTheLight(int later, int earlier, int n, const RayT<double>* in,
                                             RayT<double>* out, double* factors, unsigned char* passed,
                                             int lanes) const {
  if (ScalarOnly(*lens)) return false;
  const std::vector<GhostSurfaceData> table = GhostSurfaceTable(*lens);
  std::vector<GhostLane> group;
  group.reserve(size_t(n));
  for (int k = 0; k < n; ++k) {
    passed[k] = 0;
    if (!in[k].o.Finite() || !in[k].d.Finite() || !(in[k].d.z > 0)) continue;
    const Vec3T<double> d = in[k].d.Normalized();
    GhostLane lane{in[k].o.x, in[k].o.y, in[k].o.z, d.x, d.y, d.z, 1.0, 2, {later, earlier, 0, 0}, 0, false, k};
    group.push_back(lane);
  }
  GhostLanesOfWidth(lanes)(table.data(), int(table.size()), ghost_settings.coated, ghost_settings.nanometres,
                           group.data(), int(group.size()), true);
  for (const GhostLane& lane : group) {
    if (!lane.passed || lane.taken < 2) continue;
    out[lane.slot] = {{lane.ox, lane.oy, lane.oz}, {lane.dx, lane.dy, lane.dz}, kExactMint<double>};
    factors[lane.slot] = lane.weight;
    passed[lane.slot] = 1;
  }
  return true;
}

int RealisticCamera::GenerateRaysGhost(int n, const Sample* samples, Ray* rays, float* weights,
                                       int lanes) const {
  const std::vector<GhostSurfaceData> table = GhostSurfaceTable(*lens);
  const int nsurfaces = int(table.size());
  const GhostLanesFn trace = GhostLanesOfWidth(lanes);
  CounterSlot& counter = counters[size_t(CounterSlotOfThisThread(kCounterSlots))];
  counter.samples.fetch_add(uint64_t(n), std::memory_order_relaxed);
  uint64_t ghosts = 0;
  // Buffers kept by the thread from call to call (reached through plain
  // pointers: each use of a thread's variable in a shared library is a
  // call).
  static thread_local struct {
    std::vector<ExactFilmRay> film_rays = std::vector<ExactFilmRay>(size_t(kChunk));
    std::vector<GhostLane> lanes = std::vector<GhostLane>(size_t(2 * kChunk));
  } scratch;
  ExactFilmRay* const film_rays = scratch.film_rays.data();
  GhostLane* const direct = scratch.lanes.data();
  GhostLane* const reflected = direct + kChunk;
  for (int first = 0; first < n; first += kChunk) {
    const int size = std::min(kChunk, n - first);
    int directs = 0, ghosts_here = 0;
    // Each sample's film ray and path, as GenerateRay picks them; the
    // direct paths and the ghosts go to lanes of their own, which then
    // travel alike.
    for (int k = 0; k < size; ++k) {
      const int i = first + k;
      const Sample& sample = samples[i];
      const bool ghost = !(sample.lensU < 0.5f);
      Sample half = sample;
      half.lensU = ghost ? 2 * sample.lensU - 1 : 2 * sample.lensU;
      ExactFilmRay& f = film_rays[k];
      if (!SetUpExact(half, &f, &rays[i], &weights[i], ghost)) continue;
      GhostPlan plan;
      if (!PlanGhostPath(ghost_settings, ghost ? 1 : 0, GhostSeed(sample), &plan)) {
        weights[i] = BlockedExact(f, &rays[i]);
        continue;
      }
      const Vec3T<double> d = f.ray.d.Normalized();
      GhostLane lane{f.ray.o.x, f.ray.o.y, f.ray.o.z, d.x, d.y, d.z, 1 / plan.chance, plan.count, {}, 0, false, k};
      std::copy(plan.chosen, plan.chosen + 4, lane.chosen);
      if (ghost)
        reflected[ghosts_here++] = lane;
      else
        direct[directs++] = lane;
    }
    for (const auto& [group, size] : {std::make_pair(direct, directs), std::make_pair(reflected, ghosts_here)}) {
      trace(table.data(), nsurfaces, ghost_settings.coated, ghost_settings.nanometres, group, size, false);
      for (int g = 0; g < size; ++g) {
        const GhostLane& lane = group[g];
        const int i = first + lane.slot;
        const ExactFilmRay& f = film_rays[lane.slot];
        if (!lane.passed) {
          weights[i] = BlockedExact(f, &rays[i]);
          continue;
        }
        ghosts += lane.taken > 0;
        const RayT<double> rRay{{lane.ox, lane.oy, lane.oz}, {lane.dx, lane.dy, lane.dz}, kExactMint<double>};
        weights[i] = float(double(FinishExact(f, rRay, &rays[i])) * lane.weight * 2);
      }
    }
  }
  counter.ghosts.fetch_add(ghosts, std::memory_order_relaxed);
  return n;
}

int RealisticCamera::GenerateRaysExact(int n, const Sample* samples, Ray* rays, float* weights,
                                       int lanes) const {
  const std::vector<ExactSurfaceData> table = ExactSurfaceTable(*lens);
  auto trace = sse2::TraceExactLanes;
  switch (RealisticBatchWidth(lanes)) {
#ifdef REALCAM_HAVE_AVX512_KERNEL
    case 16:
      trace = avx512::TraceExactLanes;
      break;
#endif
#ifdef REALCAM_HAVE_AVX2_KERNEL
    case 8:
      trace = avx2::TraceExactLanes;
      break;
#endif
    default:
      break;
  }
  ExactLanes l;
  ExactFilmRay film_rays[kChunk];
  int index[kChunk];
  unsigned char state[kChunk + kMaxWidth];
  for (int first = 0; first < n; first += kChunk) {
    const int size = std::min(kChunk, n - first);
    // The film-side rays one by one, as GenerateRay forms them; samples
    // that give none are answered here.
    int count = 0;
    for (int i = 0; i < size; ++i) {
      ExactFilmRay& f = film_rays[count];
      if (!SetUpExact(samples[first + i], &f, &rays[first + i], &weights[first + i])) continue;
      l.ox[count] = f.ray.o.x, l.oy[count] = f.ray.o.y, l.oz[count] = f.ray.o.z;
      l.dx[count] = f.ray.d.x, l.dy[count] = f.ray.d.y, l.dz[count] = f.ray.d.z;
      index[count++] = first + i;
    }
    if (count == 0) continue;
    // Whole steps: the lanes past the last ray trace copies of it.
    const int padded = (count + kMaxWidth - 1) / kMaxWidth * kMaxWidth;
    for (int k = count; k < padded; ++k) {
      l.ox[k] = l.ox[count - 1], l.oy[k] = l.oy[count - 1], l.oz[k] = l.oz[count - 1];
      l.dx[k] = l.dx[count - 1], l.dy[k] = l.dy[count - 1], l.dz[k] = l.dz[count - 1];
    }
    trace(table.data(), int(table.size()), &l, padded, state);
    for (int k = 0; k < count; ++k) {
      const int i = index[k];
      if (state[k] == kScalar) {
        weights[i] = GenerateRay(samples[i], &rays[i]);
      } else if (state[k] == kBlocked) {
        weights[i] = BlockedExact(film_rays[k], &rays[i]);
      } else {
        const RayT<double> out{{l.ox[k], l.oy[k], l.oz[k]},
                               Vec3T<double>{l.dx[k], l.dy[k], l.dz[k]}.Normalized(), kExactMint<double>};
        weights[i] = FinishExact(film_rays[k], out, &rays[i]);
      }
    }
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
