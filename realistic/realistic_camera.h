// SPDX-License-Identifier: Apache-2.0
// A camera that photographs through a real lens: film rays are traced
// through every surface of a LensStack and leave the front element.
//
// Frames: lens space has the scene toward -z and the film at film_corner.z;
// the host's camera space is lens space turned half a turn about y, so
// (x, y, z) in lens space is (-x, y, -z) in camera space.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "core/camera.h"
#include "realistic/exit_pupil.h"
#include "realistic/ghost_trace.h"
#include "realistic/lens_stack.h"

bool IsFinite(const Point& p);
bool IsFinite(const Vector& v);
// Every number the host's sample carries for the camera is finite.
bool IsFiniteSample(const Sample& s);

// The exit pupil's pass test in the batch lanes (realistic_batch.cpp).
void TraceFilmRaysPass(const LensStack& lens, float film_z, int n, const float* fx, const float* fy,
                       const float* lx, const float* ly, unsigned char* pass);

// A flare sample's random numbers, from the sample's own bits.
uint64_t GhostSeed(const Sample& sample);
// Each thread counts ghost samples in a slot of its own (threads beyond
// the slots share).
int CounterSlotOfThisThread(int slots);

class ParamSet;
// The factory's work: reads and checks the parameters and makes the
// camera, or throws (LensError, ConsistencyError, bad_alloc) saying why.
// With a `lens`, the camera takes a copy of it and "specfile" may be
// absent. CreateCamera prints what this throws and returns null.
class RealisticCamera;
RealisticCamera* NewRealisticCamera(const ParamSet& params, const Transform& world2cam, Film* film,
                                    const LensStack* lens = nullptr);

// Camera movements, as a view camera or a tilt-shift lens gives them: the
// film's centre moved off the axis (lens units, lens-space x and y) and the
// film plane turned about its centre's x axis, then its y axis (degrees).
struct FilmMovement {
  float shift_x = 0, shift_y = 0, tilt_x = 0, tilt_y = 0;
  bool Any() const { return shift_x != 0 || shift_y != 0 || tilt_x != 0 || tilt_y != 0; }
  bool Tilted() const { return tilt_x != 0 || tilt_y != 0; }
};

class RealisticCamera : public Camera {
 public:
  // With a `prototype`, the camera's lens is a copy of it instead of the
  // file's (specfile then only names it).
  // Throws LensError when the lens cannot be loaded or used; everything
  // built so far is released. With `exact`, every ray is formed and traced
  // in double and rounded to float once ("precision" "double"). A positive
  // focusdistance replaces
  // filmdistance with the distance that focuses an object that far in
  // front of the front vertex.
  RealisticCamera(const Transform& world2cam, float hither, float yon, float sopen, float sclose,
                  float filmdistance, float aperture_diameter, const std::string& specfile,
                  float filmdiag, Film* f, bool exit_pupil_sampling = false,
                  bool film_side_weight = false, int aperture_blades = 0,
                  float aperture_rotation = 0.f, float wavelength = 0.f,
                  float focusdistance = 0.f, bool exact = false, int reflections = 0,
                  bool coated = true, const LensStack* prototype = nullptr,
                  const FilmMovement& movement = FilmMovement());
  ~RealisticCamera() override;

  float GenerateRay(const Sample& sample, Ray* ray) const override;

  RealisticCamera(const RealisticCamera&) = delete;
  RealisticCamera& operator=(const RealisticCamera&) = delete;

  // GenerateRay for n samples at once, with the same bits; the trace runs
  // several rays at a time in SIMD lanes. `lanes` forces a lane width (4:
  // SSE2, 8: AVX2) for tests; 0 takes the widest the CPU has.
  int GenerateRays(int n, const Sample* samples, Ray* rays, float* weights, int lanes) const;

  // With reflections: the samples answered so far and how many of them
  // left the lens on a ghost path (after reflecting inside it).
  struct GhostCounts {
    uint64_t samples = 0, ghosts = 0;
  };
  GhostCounts CountGhosts() const;

  // Flare traced from the light (the entries RealisticGhostPaths,
  // RealisticTraceGhost, RealisticFrontAperture, RealisticGhostSample).
  int GhostPathList(int* pairs, int capacity) const;
  // `lanes` as GenerateRays takes it (0: the widest the CPU has); -1
  // traces one ray at a time, the scalar walk the lanes reproduce.
  int TraceGhostRays(int later, int earlier, int n, const Ray* rays, float* raster_xy, float* weights,
                     int lanes = 0) const;
  bool FrontAperture(float* centre, float* radius) const;
  // TraceGhostRays' lanes, in lens space and double: light from the scene
  // along the ghost path (later, earlier), each ray's exit toward the film
  // and factor where passed[k]; false for a lens the lanes do not take.
  bool GhostLanesFromTheLight(int later, int earlier, int n, const RayT<double>* in, RayT<double>* out,
                              double* factors, unsigned char* passed, int lanes) const;
  // Whether GenerateRay gives the sample a two-reflection ghost path, one
  // of those GhostPathList names (with four reflections allowed, a quarter
  // of the ghost samples take four and are not among them).
  bool IsGhostSample(const Sample& s) const;

  const LensStack& GetLens() const { return *lens; }
  bool IsExact() const { return exact; }
  const Point& GetFilmCorner() const { return film_corner; }
  const FilmMovement& GetMovement() const { return movement; }
  // The film point (lens space, double) at raster fractions (fX, fY) and
  // the film's unit normal, toward +z; with no movement, the plane z =
  // film_z square to the axis.
  Vec3T<double> MovedFilmPoint(double fX, double fY) const;
  const Vec3T<double>& GetFilmNormal() const { return film_axes[2]; }

 private:
  float GenerateRayChecked(const Sample& sample, Ray* ray) const;
  // GenerateRay with lens samples spread over the exit pupil's rectangle
  // for the film point instead of the whole back element.
  float GeneratePupilRay(const Sample& sample, Ray* ray) const;
  // The cosine in the weight: of the exit ray (camera space) or, with
  // film_weight, of the film-side ray (lens space).
  float CosTheta(const Ray& sRay, const Ray& rRay) const;
  // The weight of a passing ray whose angle has cosine costheta; `area` is
  // the exit pupil's rectangle for its film point (unused without one).
  float Weight(float costheta, float area) const;
  // Whether a film-side ray is one the trace can take: finite, heading
  // toward the lens, and starting behind the back vertex.
  bool EntersLens(const Ray& sRay) const;
  // The answer for a sample that gives no film-side ray at all (a value
  // that is not a number, a raster position far off the film): the
  // empty axial film ray, weight 0. Every sample the host hands over gets
  // an answer; none can end the trace's conditions, and so the process.
  float NoRay(Ray* ray) const;
  // GenerateRay in double throughout: the film and lens points, the trace
  // from the prescription's own numbers, the turn into the world and the
  // weight, rounded to float once at the end. In three steps, which the
  // batch entry shares: the film-side ray (false: *ray and *weight hold
  // the answer already), the blocked answer, and the leaving ray's.
  struct ExactFilmRay {
    RayT<double> ray;  // from the film point toward the lens point
    double area;       // the exit pupil's rectangle for the film point
  };
  float GenerateRayExact(const Sample& sample, Ray* ray) const;
  // With `ghost_mixture` (a flare camera's ghost paths, which may start
  // where no direct ray passes) an exit-pupil camera samples its pupil
  // four times in five, else the whole back element.
  bool SetUpExact(const Sample& sample, ExactFilmRay* f, Ray* ray, float* weight, bool ghost_mixture = false) const;
  float BlockedExact(const ExactFilmRay& f, Ray* ray) const;
  float FinishExact(const ExactFilmRay& f, const RayT<double>& rRay, Ray* ray) const;
  // GenerateRay with reflections inside the lens (lens flare): set up and
  // finished as in double, traced by the ghost trace.
  float GenerateRayGhost(const Sample& sample, Ray* ray) const;
  // GenerateRays for a camera in double, and for a flare camera.
  int GenerateRaysExact(int n, const Sample* samples, Ray* rays, float* weights, int lanes) const;
  int GenerateRaysGhost(int n, const Sample* samples, Ray* rays, float* weights, int lanes) const;
  // The film point of a sample.
  Point FilmPoint(const Sample& sample) const;
  // The leaving ray into camera space and then the world.
  void ToWorld(Ray* rRay, Ray* ray) const;

  LensStack* lens;
  // Half the film's width and height, and the film plane's z.
  Point film_corner;
  // pi r^2 / z^2 of the weight: back element radius r, film distance z,
  // rounded step by step exactly as the weight is formed per sample.
  float weight_scale;
  // Set only for exit-pupil sampling.
  ExitPupil* pupil;
  // The weight's angle is the film-side ray's instead of the exit ray's.
  bool film_weight;
  // "precision" "double": half the film's sides and its z, and the
  // weight's pi r^2 / z^2, in double.
  bool exact;
  double film_x, film_y, film_z_exact, weight_scale_exact;
  // "reflections" > 0: the ghost trace's settings, prepared once.
  int reflections;
  GhostSettings ghost_settings;
  // The ghost counts, spread over a few cache lines so that threads
  // counting at once do not fight over one.
  struct alignas(64) CounterSlot {
    std::atomic<uint64_t> samples{0}, ghosts{0};
  };
  static constexpr int kCounterSlots = 16;
  std::unique_ptr<CounterSlot[]> counters;
  // Camera movements; film_axes: the moved film's x and y directions and
  // its normal, in lens space.
  FilmMovement movement;
  Vec3T<double> film_axes[3];
};
