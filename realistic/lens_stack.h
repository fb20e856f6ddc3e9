// SPDX-License-Identifier: Apache-2.0
// The whole lens: its surfaces in prescription order (element 0 is the
// front element, vertex at z = 0; the last is the back element, nearest
// the film) and the position of its one aperture stop.
//
// The prescription file is text, one surface per data line with four
// tab-separated columns: radius, axial distance to the next vertex, index
// of the medium behind the surface, clear-aperture diameter; and optionally
// a fifth, the Abbe number of that medium. A line whose
// first character is '#', a space or a tab, and an empty line, is skipped.
#pragma once

#include <string>
#include <vector>

#include <cstdio>

#include "core/geometry.h"
#include "realistic/exact_trace.h"
#include "realistic/glass_catalogue.h"
#include "realistic/lens_interface.h"

class LensStack {
 public:
  // Loads the prescription. A file that cannot be opened throws a
  // LensError "Cannot open file <path>"; any other problem with the file
  // throws a LensError naming the file and line.
  explicit LensStack(const std::string& file);
  // From an open stream, named `file` in messages.
  LensStack(FILE* f, const std::string& file);
  // The same from the prescription's text in memory; `name` stands for the
  // file in messages.
  struct FromText {};
  LensStack(const std::string& text, const std::string& name, FromText);

  void SetApertureDiameter(float diameter);
  // The stop's diaphragm: 0 blades for a round opening, else 3 to 32.
  void SetApertureBlades(int blades, float rotation_degrees);
  float GetLensDepth() const { return interfaces.back().GetAxisIntercept(); }
  float GetFrontElementDiameter() const { return interfaces.front().GetDiameter(); }
  float GetBackElementDiameter() const { return interfaces.back().GetDiameter(); }
  // A point of the back element's aperture disc, in the plane z = depth.
  Point SampleBackElement(float u, float v) const;

  // Carry a lens-space ray through every surface, film side to world side
  // or the reverse. False: the ray was blocked and *exitRay is unchanged.
  // True: exitRay's origin and unit direction hold the leaving ray; its
  // interval and time are left as they were.
  bool TraceFilmToWorld(const Ray& ray, Ray* exitRay) const;
  bool TraceWorldToFilm(const Ray& ray, Ray* exitRay) const;

  // The same traces in double, from the prescription's numbers as the
  // file gives them (exact_trace.h): the physically exact ray, where the
  // float traces carry up to some micrometres of rounding.
  bool TraceFilmToWorldExact(const RayT<double>& ray, RayT<double>* exitRay) const;
  bool TraceWorldToFilmExact(const RayT<double>& ray, RayT<double>* exitRay) const;
  // With `exact`, the two float-ray traces above compute in double and
  // round their result to float once, so that everything built on them
  // (the tools' analysis, the exit pupil's tables) sees the exact lens.
  // Off by default: the float arithmetic, every bit as specified.
  void SetExact(bool exact) { use_exact = exact; }
  bool IsExact() const { return use_exact; }
  const std::vector<ExactSurface>& GetExactSurfaces() const { return exact; }
  double GetLensDepthExact() const { return exact.back().zintercept; }

  // Focal points (f1 film side, f2 world side) and principal planes
  // (p1, p2) as z in lens space, from rays parallel to the axis near it.
  void CalculateParaxialThickLensApproximation(float* f1, float* f2, float* p1, float* p2) const;

  const std::vector<LensInterface>& GetInterfaces() const { return interfaces; }
  // Whether a surface has an opaque centre (a mirror lens's obscuration),
  // and the same lens without them: for reference rays (the chief ray, the
  // focus probes), which the optics define whatever blocks them.
  bool HasObscuration() const;
  LensStack WithoutObscurations() const;
  bool HasMirror() const;
  int GetIndexOfStop() const { return index_of_stop; }

  // Dispersion data of the medium behind each surface, from the optional
  // fifth column: its index at the d line (column 3) and its Abbe number
  // (0 where the file gives none).
  struct Dispersion {
    float n_d, v_d;
    const Glass* glass;  // a catalogue glass named in column 5, or null
  };
  const std::vector<Dispersion>& GetDispersion() const { return dispersion; }
  bool HasDispersion() const;
  // Sets the index of every medium that has an Abbe number to its value at
  // the wavelength (nanometres); the others keep column 3.
  void SetWavelength(float nanometres);

 private:
  std::vector<LensInterface> interfaces;
  std::vector<Dispersion> dispersion;
  int index_of_stop;
  // The surfaces in double, beside the float ones, with the file's n_d and
  // V_d in double for other wavelengths.
  std::vector<ExactSurface> exact;
  std::vector<double> exact_n_d, exact_v_d;
  bool use_exact = false;
};
