// SPDX-License-Identifier: Apache-2.0
// Arbitrary bytes as a prescription file, then the lens used the way the
// camera and the tools use it. Every input must end as a loaded lens or
// one of the loader's LensErrors: no crash, no sanitizer report, no hang.
// Built as a libFuzzer target (lens_fuzzer) and as a replay of the stored
// corpus for the tests (lens_fuzz_replay).
#include <unistd.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>

#include "core/error.h"
#include "realistic/lens_error.h"
#include "realistic/lens_stack.h"

namespace {

// One file per process, rewritten for every input.
const std::string& InputPath() {
  static const std::string path = [] {
    const char* base = getenv("TMPDIR");
    return std::string(base && *base ? base : "/tmp") + "/realcam-fuzz-" + std::to_string(getpid()) +
           ".dat";
  }();
  return path;
}

void UseLens(LensStack* lens) {
  if (lens->GetInterfaces().empty()) return;
  volatile float sink = lens->GetLensDepth() + lens->GetFrontElementDiameter() +
                        lens->GetBackElementDiameter();
  (void)sink;
  if (lens->GetIndexOfStop() < 0) return;  // the camera refuses such a lens
  const float stop = lens->GetInterfaces()[size_t(lens->GetIndexOfStop())].GetDiameter();
  lens->SetApertureDiameter(0.5f * stop);
  float f1, f2, p1, p2;
  try {
    lens->CalculateParaxialThickLensApproximation(&f1, &f2, &p1, &p2);
  } catch (const LensError&) {
  }
  // Another wavelength (Abbe numbers and catalogue glasses), then a few
  // film rays as the camera makes them and world rays as the tools trace
  // them, in float and in double.
  lens->SetWavelength(450.f);
  const float film_z = lens->GetLensDepth() + 40.f;
  for (int k = 0; k < 18; ++k) {
    lens->SetExact(k >= 9);
    const Point film(float(k % 3 - 1) * 5.f, float(k / 3 - 1) * 5.f, film_z);
    const Point back = lens->SampleBackElement(float(k % 3) * 0.4f + 0.1f, float(k / 3) * 0.4f + 0.1f);
    const Vector d = back - film;
    if (d.LengthSquared() == 0.f) continue;
    Ray out;
    try {
      lens->TraceFilmToWorld(Ray(film, Normalize(d), 0.001f, std::numeric_limits<float>::infinity()), &out);
    } catch (const LensError&) {
    }
    try {
      lens->TraceWorldToFilm(Ray(Point(film.x, film.y, -100.f), Vector(0.f, 0.f, 1.f), 0.001f,
                                 std::numeric_limits<float>::infinity()),
                             &out);
    } catch (const LensError&) {
    }
  }
}

// The host's Severe ends the process by default. Here it returns, as
// some hosts' does: a zero-length vector (a surface of radius 1e-30, a
// glass of index 0) is reported and the arithmetic goes on with
// infinities, which must still end in a result or a LensError.
void IgnoreSevere(const char*) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const SevereHandler installed = SetSevereHandler(IgnoreSevere);
  (void)installed;
  FILE* f = fopen(InputPath().c_str(), "wb");
  if (!f) abort();
  if (size) fwrite(data, 1, size, f);
  fclose(f);
  try {
    LensStack lens(InputPath());
    UseLens(&lens);
  } catch (const LensError&) {
    // A clear refusal is a correct outcome.
  }
  return 0;
}
