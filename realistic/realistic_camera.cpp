// SPDX-License-Identifier: Apache-2.0
// The camera and its factory; the parameters the factory reads are listed
// in realistic/realistic.h, the header for hosts.
#include "realistic/realistic_camera.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include "core/paramset.h"
#include "core/sampling.h"
#include "realistic/dispersion.h"
#include "realistic/ghost_trace.h"
#include "realistic/lens_error.h"
#include "realistic/realistic.h"
#include "realistic/thick_lens.h"

namespace {

constexpr float kPi = 3.1415927f;

// pi r^2 / z^2, in the order the per-sample weight forms it.
float WeightScale(float r, float z) { return float((r * kPi) * r / (double(z) * z)); }

void RequireFinite(const char* key, float value) {
  if (!std::isfinite(value))
    throw LensError(std::string("realistic: camera parameter \"") + key + "\" is " +
                    ShortestFloat(value) + "; expected a finite number");
}

// A failed condition on the ray path cannot be handed back through the
// host's interface: say it once, even if several threads fail together,
// and abort.
[[noreturn]] void AbortOnce(const char* what) {
  static std::atomic_flag reported = ATOMIC_FLAG_INIT;
  if (!reported.test_and_set()) fprintf(stderr, "%s\n", what);
  std::abort();
}

}  // namespace

bool IsFinite(const Point& p) { return std::isfinite(p.x) && std::isfinite(p.y) && std::isfinite(p.z); }
bool IsFinite(const Vector& v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }
bool IsFiniteSample(const Sample& s) {
  return std::isfinite(s.imageX) && std::isfinite(s.imageY) && std::isfinite(s.lensU) &&
         std::isfinite(s.lensV);
}

RealisticCamera::RealisticCamera(const Transform& world2cam, float hither, float yon,
                                 float sopen, float sclose, float filmdistance,
                                 float aperture_diameter, const std::string& specfile,
                                 float filmdiag, Film* f, bool exit_pupil_sampling,
                                 bool film_side_weight, int aperture_blades,
                                 float aperture_rotation, float wavelength,
                                 float focusdistance, bool exact_rays, int ghost_reflections,
                                 bool ghost_coated, const LensStack* prototype,
                                 const FilmMovement& film_movement)
    : Camera(world2cam, hither, yon, sopen, sclose, f), lens(nullptr), pupil(nullptr),
      film_weight(film_side_weight), exact(exact_rays), film_x(0), film_y(0), film_z_exact(0),
      weight_scale_exact(0), reflections(ghost_reflections), movement(film_movement) {
  ghost_settings.reflections = ghost_reflections;
  ghost_settings.coated = ghost_coated;
  ghost_settings.nanometres = wavelength > 0.f ? double(wavelength) : kLineD;
  LensStack* stack = prototype ? new LensStack(*prototype) : new LensStack(specfile);
  if (stack->GetInterfaces().empty() || stack->GetIndexOfStop() == -1) {
    const bool empty = stack->GetInterfaces().empty();
    delete stack;
    throw LensError(specfile + (empty ? ": the prescription has no surfaces"
                                      : ": the prescription has no aperture stop (a data line "
                                        "with radius 0)"));
  }
  try {
    // Focus on the prescription as written, before the wavelength and the
    // stop are set: every band of a spectral render then shares one film
    // plane, and the stop (even a closed one) does not move it.
    if (focusdistance > 0.f) {
      try {
        filmdistance = float(FilmDistanceForObject(*stack, ComputeThickLens(*stack), focusdistance));
      } catch (const LensError& e) {
        throw LensError("realistic: camera parameter \"focusdistance\" is " +
                        ShortestFloat(focusdistance) + "; " + e.what());
      }
    }
    // Indices first: everything below, the exit pupil's tables included,
    // derives from the lens at this wavelength.
    if (wavelength > 0.f) stack->SetWavelength(wavelength);
    stack->SetApertureDiameter(aperture_diameter);
    stack->SetApertureBlades(aperture_blades, aperture_rotation);
  } catch (...) {
    delete stack;
    throw;
  }
  lens = stack;

  const float film_z = lens->GetLensDepth() + filmdistance;
  // Every film ray starts 0.001 along its direction and must still lie
  // behind the back vertex there, or the trace refuses it. The ray along
  // the axis is the tightest case; test it with the rounding the ray
  // itself gets, which matters where the depth's ulp nears 0.001.
  const Ray axial(Point(0.f, 0.f, film_z), Vector(0.f, 0.f, -1.f), 0.001f);
  if (!(film_z - lens->GetLensDepth() > 0.001f) || !(axial(axial.mint).z > lens->GetLensDepth())) {
    delete lens;
    lens = nullptr;
    const std::string given = focusdistance > 0.f
        ? "\"focusdistance\" is " + ShortestFloat(focusdistance) + ", which puts the film " +
              ShortestFloat(filmdistance) + " from the back element's vertex"
        : "\"filmdistance\" is " + ShortestFloat(filmdistance);
    throw LensError("realistic: camera parameter " + given +
                    "; the film must lie more than 0.001 behind the back element's vertex");
  }
  const float aspect = float(double(film->xResolution) / double(film->yResolution));
  const float y = sqrtf(float(double(filmdiag) * filmdiag / (double(aspect) * aspect + 1.0)));
  const float x = aspect * y;
  film_corner = Point(x * 0.5f, y * 0.5f, film_z);
  {
    // The moved film's axes: turned about x by tilt_x, then about y by
    // tilt_y.
    const double ax = double(movement.tilt_x) * 3.14159265358979323846 / 180;
    const double ay = double(movement.tilt_y) * 3.14159265358979323846 / 180;
    const double cx = std::cos(ax), sx = std::sin(ax), cy = std::cos(ay), sy = std::sin(ay);
    film_axes[0] = {cy, 0, -sy};
    film_axes[1] = {sy * sx, cx, cy * sx};
    film_axes[2] = {sy * cx, -sx, cy * cx};
  }
  if (movement.Tilted()) {
    // Every corner of the tilted film must lie behind the back vertex, as
    // the centre must.
    const double depth = lens->GetLensDepth();
    for (double u : {-1.0, 1.0})
      for (double v : {-1.0, 1.0}) {
        const double cz = double(film_z) + u * 0.5 * x * film_axes[0].z + v * 0.5 * y * film_axes[1].z;
        if (!(cz - depth > 0.01)) {
          delete lens;
          lens = nullptr;
          throw LensError("realistic: camera parameters \"film_tilt_x\" " + ShortestFloat(movement.tilt_x) +
                          " and \"film_tilt_y\" " + ShortestFloat(movement.tilt_y) +
                          " turn a corner of the film to " + ShortestFloat(float(cz - depth)) +
                          " behind the back element's vertex; every film point must lie more than 0.01 "
                          "behind it (a longer film distance, or less tilt)");
        }
      }
  }

  const float r = lens->GetBackElementDiameter() * 0.5f;
  const float z = film_corner.z - lens->GetLensDepth();
  weight_scale = WeightScale(r, z);
  if (exact || reflections > 0) {
    // The film and the weight's scale from the parameters in double; the
    // exit pupil's tables (below) from exact traces too.
    lens->SetExact(true);
    const double aspect_d = double(film->xResolution) / double(film->yResolution);
    film_y = 0.5 * std::sqrt(double(filmdiag) * filmdiag / (aspect_d * aspect_d + 1.0));
    film_x = aspect_d * film_y;
    film_z_exact = lens->GetLensDepthExact() + double(filmdistance);
    const auto& back = lens->GetExactSurfaces().back();
    const double rd = 0.5 * back.diameter, zd = double(filmdistance);
    weight_scale_exact = 3.14159265358979323846 * rd * rd / (zd * zd);
  }
  if (reflections > 0) {
    counters.reset(new CounterSlot[kCounterSlots]);
    PrepareGhostSettings(lens->GetExactSurfaces().data(), int(lens->GetExactSurfaces().size()),
                         &ghost_settings);
  }
  if (exit_pupil_sampling) {
    try {
      if (!movement.Any()) {
        pupil = new ExitPupil(*lens, film_z, std::hypot(film_corner.x, film_corner.y), TraceFilmRaysPass);
      } else {
        // The film points' greatest distance from the axis and their z
        // range, from the corners of the moved film.
        double reach = 0, z_near = film_z, z_far = film_z;
        for (double u : {-1.0, 1.0})
          for (double v : {-1.0, 1.0}) {
            const Vec3T<double> c = MovedFilmPoint(0.5 * (u + 1), 0.5 * (v + 1));
            reach = std::max(reach, std::hypot(c.x, c.y));
            z_near = std::min(z_near, c.z), z_far = std::max(z_far, c.z);
          }
        pupil = movement.Tilted()
            ? new ExitPupil(*lens, float(z_near), float(z_far), float(reach) * 1.001f, TraceFilmRaysPass)
            : new ExitPupil(*lens, film_z, float(reach) * 1.001f, TraceFilmRaysPass);
      }
    } catch (...) {
      delete lens;
      throw;
    }
  }
}

RealisticCamera::~RealisticCamera() {
  delete pupil;
  delete lens;
}

float RealisticCamera::GenerateRay(const Sample& sample, Ray* ray) const {
  try {
    if (reflections > 0) return GenerateRayGhost(sample, ray);
    if (exact) return GenerateRayExact(sample, ray);
    return pupil ? GeneratePupilRay(sample, ray) : GenerateRayChecked(sample, ray);
  } catch (const std::exception& e) {
    AbortOnce(e.what());
  }
}

Point RealisticCamera::FilmPoint(const Sample& sample) const {
  // Raster position to a point of the film rectangle; raster 0 is the
  // film's -x (-y) edge, the full resolution its +x (+y) edge.
  const float fX = float(double(sample.imageX) / double(film->xResolution));
  const float fY = float(double(sample.imageY) / double(film->yResolution));
  const Point& fc = film_corner;
  if (!movement.Any()) return Point(float((2.0 * fX - 1.0) * fc.x), float((2.0 * fY - 1.0) * fc.y), fc.z);
  const Vec3T<double> p = MovedFilmPoint(fX, fY);
  return Point(float(p.x), float(p.y), float(p.z));
}

Vec3T<double> RealisticCamera::MovedFilmPoint(double fX, double fY) const {
  // In the film's own frame, then onto the moved plane around its centre;
  // the film's sides and z in double where the camera has them so (its
  // rays in double, or flare).
  const bool wide = exact || reflections > 0;
  const double u = (2 * fX - 1) * (wide ? film_x : double(film_corner.x));
  const double v = (2 * fY - 1) * (wide ? film_y : double(film_corner.y));
  const double centre_z = wide ? film_z_exact : double(film_corner.z);
  const Vec3T<double> centre{double(movement.shift_x), double(movement.shift_y), centre_z};
  return centre + film_axes[0] * u + film_axes[1] * v;
}

void RealisticCamera::ToWorld(Ray* rRay, Ray* ray) const {
  // Lens space to camera space: half a turn about y, exact sign flips.
  rRay->o = Point(-rRay->o.x, rRay->o.y, -rRay->o.z);
  rRay->d = Vector(-rRay->d.x, rRay->d.y, -rRay->d.z);
  rRay->mint = 0.f;
  rRay->maxt = std::numeric_limits<float>::infinity();
  CameraToWorld(*rRay, ray);
}

bool RealisticCamera::EntersLens(const Ray& sRay) const {
  // The two conditions the film-to-world trace demands of its ray, asked
  // first so that they refuse the sample instead of failing the trace.
  // A raster position far off the film gives a direction that is not
  // finite, or that runs along the film plane.
  return IsFinite(sRay.d) && sRay.d.z < 0.f && sRay(sRay.mint).z > lens->GetLensDepth();
}

float RealisticCamera::NoRay(Ray* ray) const {
  *ray = Ray(Point(0.f, 0.f, film_corner.z), Vector(0.f, 0.f, -1.f), 1.f, 0.f, 0.f);
  return 0.f;
}

float RealisticCamera::CosTheta(const Ray& sRay, const Ray& rRay) const {
  // The film-side ray heads toward -z in lens space; its unit direction's
  // -z is the cosine of its angle to the axis.
  if (film_weight && movement.Tilted())
    return float(-(double(sRay.d.x) * film_axes[2].x + double(sRay.d.y) * film_axes[2].y +
                   double(sRay.d.z) * film_axes[2].z));
  if (film_weight) return -sRay.d.z;
  // The exit ray in camera space heads toward +z.
  return Dot(rRay.d, Vector(0.f, 0.f, 1.f));
}

float RealisticCamera::Weight(float costheta, float area) const {
  // Irradiance at the film from the back element's disc: pi r^2 / z^2
  // times cos^4 of the angle.
  if (!pupil) return weight_scale * powf(costheta, 4.0f);
  // Exit-pupil sampling: times the share of the disc's area that the
  // rectangle covers, as each sample stands for area / disc of them.
  return weight_scale * (area / pupil->GetDiscArea()) * powf(costheta, 4.0f);
}

float RealisticCamera::GeneratePupilRay(const Sample& sample, Ray* ray) const {
  if (!IsFiniteSample(sample)) return NoRay(ray);
  const Point fsample = FilmPoint(sample);
  float area;
  bool inside;
  const Point lsample = pupil->Sample(fsample.x, fsample.y, sample.lensU, sample.lensV, &area, &inside, fsample.z);
  if (!IsFinite(fsample) || !IsFinite(lsample)) return NoRay(ray);
  const Ray sRay(fsample, Normalize(lsample - fsample), 0.001f,
                 std::numeric_limits<float>::infinity(), 0.f);
  if (!EntersLens(sRay)) return NoRay(ray);
  Ray rRay;
  if (!inside || !lens->TraceFilmToWorld(sRay, &rRay)) {
    *ray = sRay;
    ray->mint = 1.f;
    ray->maxt = 0.f;
    return 0.f;
  }
  ToWorld(&rRay, ray);
  return Weight(CosTheta(sRay, rRay), area);
}

bool RealisticCamera::SetUpExact(const Sample& sample, ExactFilmRay* f, Ray* ray, float* weight,
                                 bool ghost_mixture) const {
  using V = Vec3T<double>;
  if (!IsFiniteSample(sample)) return *weight = NoRay(ray), false;
  const double fX = double(sample.imageX) / double(film->xResolution);
  const double fY = double(sample.imageY) / double(film->yResolution);
  const V fsample = movement.Any() ? MovedFilmPoint(fX, fY) : V{(2 * fX - 1) * film_x, (2 * fY - 1) * film_y, film_z_exact};
  bool inside = true;
  V lsample;
  const double back_z = lens->GetLensDepthExact();
  f->area = 0;
  if (pupil && ghost_mixture) {
    // Ghost paths may start from parts of the back element that no direct
    // ray passes (a first reflection behind the stop never meets it), so
    // a fifth of them are aimed over the whole element and the rest at the
    // direct light's pupil (where nearly all of a ghost's light starts),
    // and each is weighed by the mixture's density there: 1 / area stands
    // in for that density.
    constexpr double kWhole = 0.2;
    const bool to_pupil = double(sample.lensU) < 1 - kWhole;
    const float u = float(to_pupil ? double(sample.lensU) / (1 - kWhole)
                                   : (double(sample.lensU) - (1 - kWhole)) / kWhole);
    const double back_radius = 0.5 * lens->GetExactSurfaces().back().diameter;
    float rect;
    bool in_rect = true;
    if (to_pupil) {
      lsample = pupil->SampleExact(fsample.x, fsample.y, u, sample.lensV, back_z, &rect, &inside, fsample.z);
    } else {
      float lX, lY;
      ConcentricSampleDisk(u, sample.lensV, &lX, &lY);
      lsample = {lX * back_radius, lY * back_radius, back_z};
      in_rect = pupil->ContainsExact(fsample.x, fsample.y, lsample.x, lsample.y, &rect, fsample.z);
    }
    const double density = (1 - kWhole) * (in_rect ? 1 / double(rect) : 0) + kWhole / double(pupil->GetDiscArea());
    f->area = 1 / density;
  } else if (pupil) {
    float a;
    lsample = pupil->SampleExact(fsample.x, fsample.y, sample.lensU, sample.lensV, back_z, &a, &inside, fsample.z);
    f->area = a;
  } else {
    float lX, lY;
    ConcentricSampleDisk(sample.lensU, sample.lensV, &lX, &lY);
    const double back_radius = 0.5 * lens->GetExactSurfaces().back().diameter;
    lsample = {lX * back_radius, lY * back_radius, back_z};
  }
  f->ray = {fsample, (lsample - fsample).Normalized(), kExactMint<double>};
  if (!fsample.Finite() || !lsample.Finite() || !f->ray.d.Finite() || !(f->ray.d.z < 0) ||
      !(f->ray.At(f->ray.mint).z > back_z))
    return *weight = NoRay(ray), false;
  if (!inside) return *weight = BlockedExact(*f, ray), false;
  return true;
}

float RealisticCamera::BlockedExact(const ExactFilmRay& f, Ray* ray) const {
  *ray = Ray(Point(float(f.ray.o.x), float(f.ray.o.y), float(f.ray.o.z)),
             Vector(float(f.ray.d.x), float(f.ray.d.y), float(f.ray.d.z)), 1.f, 0.f, 0.f);
  return 0.f;
}

float RealisticCamera::FinishExact(const ExactFilmRay& f, const RayT<double>& rRay, Ray* ray) const {
  using V = Vec3T<double>;
  // Lens space to camera space, a half turn about y, and the camera to the
  // world with the base's matrix, all in double.
  const V o{-rRay.o.x, rRay.o.y, -rRay.o.z}, d{-rRay.d.x, rRay.d.y, -rRay.d.z};
  const float(*m)[4] = CameraToWorld.m->m;
  auto row = [m](int i, const V& v) {
    return double(m[i][0]) * v.x + double(m[i][1]) * v.y + double(m[i][2]) * v.z;
  };
  double w = row(3, o) + double(m[3][3]);
  if (w == 0) w = 1;
  ray->o = Point(float((row(0, o) + m[0][3]) / w), float((row(1, o) + m[1][3]) / w),
                 float((row(2, o) + m[2][3]) / w));
  ray->d = Vector(float(row(0, d)), float(row(1, d)), float(row(2, d)));
  ray->mint = 0.f;
  ray->maxt = std::numeric_limits<float>::infinity();
  ray->time = 0.f;
  const double costheta = !film_weight ? d.z
                          : movement.Tilted() ? -f.ray.d.Dot(film_axes[2])
                                              : -f.ray.d.z;
  const double c2 = costheta * costheta;
  double weight = weight_scale_exact * c2 * c2;
  if (pupil) weight *= f.area / pupil->GetDiscArea();
  return float(weight);
}

float RealisticCamera::GenerateRayExact(const Sample& sample, Ray* ray) const {
  ExactFilmRay f;
  float weight;
  if (!SetUpExact(sample, &f, ray, &weight)) return weight;
  RayT<double> rRay;
  if (!lens->TraceFilmToWorldExact(f.ray, &rRay)) return BlockedExact(f, ray);
  return FinishExact(f, rRay, ray);
}

uint64_t GhostSeed(const Sample& sample) {
  // The ghost path's random numbers from the sample itself: the host
  // hands over no more, and the same sample always takes the same path.
  uint64_t seed = 0x2545f4914f6cdd1dull;
  for (float v : {sample.imageX, sample.imageY, sample.lensU, sample.lensV}) {
    uint32_t bits;
    memcpy(&bits, &v, sizeof bits);
    seed = (seed ^ bits) * 0x100000001b3ull;
    seed ^= seed >> 29;
  }
  return seed;
}

int CounterSlotOfThisThread(int slots) {
  static std::atomic<int> next{0};
  thread_local const int slot = next.fetch_add(1, std::memory_order_relaxed);
  return slot % slots;
}

RealisticCamera::GhostCounts RealisticCamera::CountGhosts() const {
  GhostCounts c;
  if (!counters) return c;
  for (int k = 0; k < kCounterSlots; ++k) {
    c.samples += counters[k].samples.load(std::memory_order_relaxed);
    c.ghosts += counters[k].ghosts.load(std::memory_order_relaxed);
  }
  return c;
}

float RealisticCamera::GenerateRayGhost(const Sample& sample, Ray* ray) const {
  CounterSlot& counter = counters[size_t(CounterSlotOfThisThread(kCounterSlots))];
  counter.samples.fetch_add(1, std::memory_order_relaxed);
  // The lens samples split in two: those with lensU below one half follow
  // the direct path, aimed as without reflections; the others a ghost
  // path. Each half counts twice. The host's stratification of lensU so
  // carries over to both, and the direct light keeps its low noise.
  const bool ghost = !(sample.lensU < 0.5f);
  Sample half = sample;
  half.lensU = ghost ? 2 * sample.lensU - 1 : 2 * sample.lensU;
  ExactFilmRay f;
  float weight;
  if (!SetUpExact(half, &f, ray, &weight, ghost)) return weight;
  const uint64_t seed = GhostSeed(sample);
  RayT<double> rRay;
  double factor;
  int taken;
  const bool passed = GhostTraceFilmToWorld(lens->GetExactSurfaces().data(), lens->GetInterfaces().data(),
                                            int(lens->GetInterfaces().size()), f.ray, ghost_settings, seed, &rRay,
                                            &factor, &taken, ghost ? 1 : 0);
  if (passed && taken > 0) counter.ghosts.fetch_add(1, std::memory_order_relaxed);
  if (!passed) return BlockedExact(f, ray);
  return float(double(FinishExact(f, rRay, ray)) * factor * 2);
}

float RealisticCamera::GenerateRayChecked(const Sample& sample, Ray* ray) const {
  if (!IsFiniteSample(sample)) return NoRay(ray);
  const Point fsample = FilmPoint(sample);

  const Point lsample = lens->SampleBackElement(sample.lensU, sample.lensV);
  if (!IsFinite(fsample) || !IsFinite(lsample)) return NoRay(ray);
  const Ray sRay(fsample, Normalize(lsample - fsample), 0.001f,
                 std::numeric_limits<float>::infinity(), 0.f);
  if (!EntersLens(sRay)) return NoRay(ray);
  Ray rRay;
  if (!lens->TraceFilmToWorld(sRay, &rRay)) {
    // Blocked: an empty ray (mint > maxt), left in lens space.
    *ray = sRay;
    ray->mint = 1.f;
    ray->maxt = 0.f;
    return 0.f;
  }
  ToWorld(&rRay, ray);

  return Weight(CosTheta(sRay, rRay), 0.f);
}

extern "C" __attribute__((visibility("default"))) int RealisticGhostCounts(const Camera* camera,
                                                                         unsigned long long* samples,
                                                                         unsigned long long* ghosts) {
  const RealisticCamera* realistic = dynamic_cast<const RealisticCamera*>(camera);
  if (!realistic || !samples || !ghosts) return -1;
  const RealisticCamera::GhostCounts c = realistic->CountGhosts();
  *samples = c.samples, *ghosts = c.ghosts;
  return 0;
}

bool RealisticCamera::IsGhostSample(const Sample& s) const {
  if (reflections == 0 || s.lensU < 0.5f) return false;
  if (reflections == 2) return true;
  GhostPlan plan;
  return PlanGhostPath(ghost_settings, 1, GhostSeed(s), &plan) && plan.count == 2;
}

int RealisticCamera::GhostPathList(int* pairs, int capacity) const {
  if (reflections == 0) return 0;
  const std::vector<int>& r = ghost_settings.surfaces;
  int count = 0;
  for (size_t j = 1; j < r.size(); ++j)
    for (size_t i = 0; i < j; ++i, ++count)
      if (pairs && count < capacity) pairs[2 * count] = r[j], pairs[2 * count + 1] = r[i];
  return count;
}

int RealisticCamera::TraceGhostRays(int later, int earlier, int n, const Ray* rays, float* raster_xy,
                                    float* weights, int lanes) const {
  if (reflections == 0 || movement.Any() || n < 0 || (n > 0 && (!rays || !raster_xy || !weights))) return -1;
  const auto& s = lens->GetExactSurfaces();
  const int count = int(s.size());
  bool listed = false;
  for (size_t j = 0; j < ghost_settings.surfaces.size(); ++j)
    for (size_t i = 0; i < j; ++i)
      listed = listed || (ghost_settings.surfaces[j] == later && ghost_settings.surfaces[i] == earlier);
  if (!listed) return -1;
  // Camera space to lens space: half a turn about y.
  std::vector<RayT<double>> in(static_cast<size_t>(n)), out(static_cast<size_t>(n));
  std::vector<double> factors(static_cast<size_t>(n), 0.0);
  std::vector<unsigned char> passed(static_cast<size_t>(n), 0);
  for (int k = 0; k < n; ++k) {
    const Ray& c = rays[k];
    in[size_t(k)] = {{-double(c.o.x), double(c.o.y), -double(c.o.z)},
                     {-double(c.d.x), double(c.d.y), -double(c.d.z)},
                     0};
  }
  // In the lanes where the lens allows, else one at a time.
  if (lanes < 0 || !GhostLanesFromTheLight(later, earlier, n, in.data(), out.data(), factors.data(), passed.data(),
                                           lanes)) {
    for (int k = 0; k < n; ++k) {
      const RayT<double>& r = in[size_t(k)];
      if (!r.o.Finite() || !r.d.Finite() || !(r.d.z > 0)) continue;
      passed[size_t(k)] = GhostTraceWorldToFilm(s.data(), lens->GetInterfaces().data(), count, r, later, earlier,
                                                ghost_settings, &out[size_t(k)], &factors[size_t(k)]);
    }
  }
  for (int k = 0; k < n; ++k) {
    raster_xy[2 * k] = raster_xy[2 * k + 1] = 0.f;
    weights[k] = 0.f;
    const RayT<double>& o = out[size_t(k)];
    if (!passed[size_t(k)] || !(o.d.z > 0)) continue;
    const double t = (film_z_exact - o.o.z) / o.d.z;
    const double x = o.o.x + t * o.d.x, y = o.o.y + t * o.d.y;
    const double fx = 0.5 * (x / film_x + 1), fy = 0.5 * (y / film_y + 1);
    if (!(fx >= 0 && fx < 1 && fy >= 0 && fy < 1)) continue;
    raster_xy[2 * k] = float(fx * film->xResolution), raster_xy[2 * k + 1] = float(fy * film->yResolution);
    weights[k] = float(factors[size_t(k)]);
  }
  return n;
}

bool RealisticCamera::FrontAperture(float* centre, float* radius) const {
  // The front vertex in camera space (lens-space z turns to -z), and the
  // widest clear aperture a ray from the scene meets on its way in.
  // An oblique ray that enters at a front element's rim, behind the
  // vertex plane, crosses that plane beyond the rim: half as much again
  // covers rays up to some 60 degrees from the axis.
  centre[0] = 0.f, centre[1] = 0.f, centre[2] = 0.f;
  float r = 0.f;
  for (const LensInterface& s : lens->GetInterfaces()) r = std::max(r, 0.5f * std::fabs(s.GetDiameter()));
  *radius = 1.5f * r;
  return r > 0.f;
}

extern "C" __attribute__((visibility("default"))) int RealisticGhostPaths(const Camera* camera, int* pairs,
                                                                        int capacity) {
  const RealisticCamera* realistic = dynamic_cast<const RealisticCamera*>(camera);
  if (!realistic || capacity < 0 || (capacity > 0 && !pairs)) return -1;
  return realistic->GhostPathList(pairs, capacity);
}

extern "C" __attribute__((visibility("default"))) int RealisticTraceGhost(const Camera* camera, int later,
                                                                        int earlier, int n, const Ray* rays,
                                                                        float* raster_xy, float* weights) {
  const RealisticCamera* realistic = dynamic_cast<const RealisticCamera*>(camera);
  if (!realistic) return -1;
  try {
    return realistic->TraceGhostRays(later, earlier, n, rays, raster_xy, weights);
  } catch (const std::exception&) {
    return -1;
  }
}

extern "C" __attribute__((visibility("default"))) int RealisticFrontAperture(const Camera* camera, float* centre,
                                                                           float* radius) {
  const RealisticCamera* realistic = dynamic_cast<const RealisticCamera*>(camera);
  if (!realistic || !centre || !radius) return -1;
  return realistic->FrontAperture(centre, radius) ? 0 : -1;
}

extern "C" __attribute__((visibility("default"))) int RealisticGhostSample(const Camera* camera,
                                                                         const Sample* sample) {
  const RealisticCamera* realistic = dynamic_cast<const RealisticCamera*>(camera);
  if (!realistic || !sample) return -1;
  return realistic->IsGhostSample(*sample) ? 1 : 0;
}

RealisticCamera* NewRealisticCamera(const ParamSet& params, const Transform& world2cam, Film* film,
                                    const LensStack* prototype) {
  {
    const float hither = params.FindOneFloat("hither", -1.f);
    const float yon = params.FindOneFloat("yon", -1.f);
    const float shutteropen = params.FindOneFloat("shutteropen", -1.f);
    const float shutterclose = params.FindOneFloat("shutterclose", -1.f);
    const std::string specfile = params.FindOneString("specfile", "");
    const float filmdistance = params.FindOneFloat("filmdistance", 70.f);
    // Absent is told from any given value by asking with two defaults.
    const float focusdistance = params.FindOneFloat("focusdistance", 0.f);
    const bool focus_given = !(focusdistance == 0.f && params.FindOneFloat("focusdistance", 1.f) == 1.f);
    const bool film_given = !(filmdistance == 70.f && params.FindOneFloat("filmdistance", 71.f) == 71.f);
    const float fstop = params.FindOneFloat("aperture_diameter", 1.f);
    const float filmdiag = params.FindOneFloat("filmdiag", 35.f);
    const std::string sampling = params.FindOneString("sampling", "backelement");
    const std::string weight = params.FindOneString("weight", "exit");
    const std::string precision = params.FindOneString("precision", "float");
    const float reflections = params.FindOneFloat("reflections", 0.f);
    const std::string coating = params.FindOneString("coating", "single");
    const float wavelength = params.FindOneFloat("wavelength", 0.f);
    const bool spectral = !(wavelength == 0.f && params.FindOneFloat("wavelength", 1.f) == 1.f);
    const float blades = params.FindOneFloat("aperture_blades", 0.f);
    const float rotation = params.FindOneFloat("aperture_rotation", 0.f);
    FilmMovement movement;
    movement.shift_x = params.FindOneFloat("film_shift_x", 0.f);
    movement.shift_y = params.FindOneFloat("film_shift_y", 0.f);
    movement.tilt_x = params.FindOneFloat("film_tilt_x", 0.f);
    movement.tilt_y = params.FindOneFloat("film_tilt_y", 0.f);

    // A number given as text would be passed over for its default without
    // a word: refuse it (after the required-parameter check, which comes
    // first).
    auto given_as_text = [&params]() -> std::string {
      static const char* const kFloatKeys[] = {
          "hither", "yon", "shutteropen", "shutterclose", "filmdistance", "focusdistance",
          "aperture_diameter", "filmdiag", "reflections", "wavelength", "aperture_blades",
          "aperture_rotation", "film_shift_x", "film_shift_y", "film_tilt_x", "film_tilt_y"};
      const std::string unset("\x01");
      for (const char* key : kFloatKeys) {
        const std::string text = params.FindOneString(key, unset);
        if (text != unset)
          return std::string("realistic: camera parameter \"") + key + "\" is given as text (\"" + text +
                 "\"); expected a number";
      }
      return {};
    };

    LENS_CHECK(hither != -1.f && yon != -1.f && shutteropen != -1.f && shutterclose != -1.f &&
                   filmdistance != -1.f,
               "hither != -1 && yon != -1 && shutteropen != -1 && shutterclose != -1 && "
               "filmdistance!= -1",
               "Camera* CreateCamera(const ParamSet&, const Transform&, Film*)");
    if (specfile == "" && !prototype) Severe("No lens spec file supplied!\n");
    if (const std::string text = given_as_text(); !text.empty()) throw LensError(text);

    if (sampling != "backelement" && sampling != "exitpupil")
      throw LensError("realistic: camera parameter \"sampling\" is \"" + sampling +
                      "\"; expected \"backelement\" or \"exitpupil\"");
    if (!(reflections == 0.f || reflections == 2.f || reflections == 4.f))
      throw LensError("realistic: camera parameter \"reflections\" is " + ShortestFloat(reflections) +
                      "; expected 0, 2 or 4 (a path that reflects an odd number of times goes back to the film)");
    if (coating != "none" && coating != "single")
      throw LensError("realistic: camera parameter \"coating\" is \"" + coating +
                      "\"; expected \"none\" or \"single\"");
    if (precision != "float" && precision != "double")
      throw LensError("realistic: camera parameter \"precision\" is \"" + precision +
                      "\"; expected \"float\" or \"double\"");
    if (weight != "exit" && weight != "film")
      throw LensError("realistic: camera parameter \"weight\" is \"" + weight +
                      "\"; expected \"exit\" or \"film\"");
    // Values with which every ray would fail a trace condition and abort
    // the host: refuse the camera now instead. Zero and negative stops and
    // diagonals stay allowed (a closed stop blocks everything; a negative
    // value acts through its square).
    RequireFinite("filmdistance", filmdistance);
    if (focus_given && film_given)
      throw LensError("realistic: camera parameters \"focusdistance\" and \"filmdistance\" are "
                      "both given; give one: the film distance, or the distance to focus at");
    if (focus_given && !(std::isfinite(focusdistance) && focusdistance > 0.f))
      throw LensError("realistic: camera parameter \"focusdistance\" is " +
                      ShortestFloat(focusdistance) +
                      "; expected a positive distance in front of the lens");
    RequireFinite("aperture_diameter", fstop);
    RequireFinite("filmdiag", filmdiag);
    // A negative stop blocks every ray; a diagonal of zero or less puts
    // every pixel on one film point (or mirrors the film).
    if (fstop < 0.f)
      throw LensError("realistic: camera parameter \"aperture_diameter\" is " + ShortestFloat(fstop) +
                      "; expected a diameter of 0 (a closed stop) or more");
    if (!(filmdiag > 0.f))
      throw LensError("realistic: camera parameter \"filmdiag\" is " + ShortestFloat(filmdiag) +
                      "; expected a positive diagonal");
    if (!(blades == 0.f || (blades >= 3.f && blades <= 32.f && blades == std::floor(blades))))
      throw LensError("realistic: camera parameter \"aperture_blades\" is " +
                      ShortestFloat(blades) +
                      "; expected 0 (a round stop) or a whole number from 3 to 32");
    RequireFinite("aperture_rotation", rotation);
    RequireFinite("film_shift_x", movement.shift_x);
    RequireFinite("film_shift_y", movement.shift_y);
    for (const auto& tilt : {std::make_pair("film_tilt_x", movement.tilt_x), std::make_pair("film_tilt_y", movement.tilt_y)})
      if (!(std::fabs(tilt.second) < 45.f))
        throw LensError(std::string("realistic: camera parameter \"") + tilt.first + "\" is " +
                        ShortestFloat(tilt.second) + "; expected degrees between -45 and 45 (exclusive)");
    if (spectral && !(wavelength >= kMinWavelength && wavelength <= kMaxWavelength))
      throw LensError("realistic: camera parameter \"wavelength\" is " + ShortestFloat(wavelength) +
                      "; expected nanometres from 360 to 830");
    if (!film)
      throw LensError("realistic: the host gave no film");
    if (film->xResolution < 1 || film->yResolution < 1)
      throw LensError("realistic: the film's resolution is " + std::to_string(film->xResolution) +
                      "x" + std::to_string(film->yResolution) +
                      "; both sides must be at least 1 pixel");

    return new RealisticCamera(world2cam, hither, yon, shutteropen, shutterclose, filmdistance,
                               fstop, specfile, filmdiag, film, sampling == "exitpupil",
                               weight == "film", int(blades), rotation,
                               spectral ? wavelength : 0.f, focus_given ? focusdistance : 0.f,
                               precision == "double", int(reflections), coating == "single", prototype,
                               movement);
  }
}

extern "C" __attribute__((visibility("default"))) Camera* CreateCamera(const ParamSet& params,
                                                                      const Transform& world2cam,
                                                                      Film* film) {
  try {
    return NewRealisticCamera(params, world2cam, film);
  } catch (const std::exception& e) {
    fprintf(stderr, "%s\n", e.what());
  } catch (...) {
    fprintf(stderr, "realistic: camera creation failed\n");
  }
  return nullptr;
}
