// SPDX-License-Identifier: Apache-2.0
// "precision" "double": the traces in double against the same algorithm in
// long double, the float traces' error that it removes, and the camera's
// contract (float stays every bit as it was; the batch entry agrees).
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "realistic/lens_stack.h"
#include "tests/plugin.h"
#include "tests/test_files.h"

namespace {

const char* const kLenses[] = {"planar-50mm-f2.dat",       "double-gauss-100mm-f2.dat",
                               "cooke-triplet-50mm-f4.dat", "tessar-101mm-f4.5.dat",
                               "telephoto-127mm-f5.6.dat",  "retrofocus-24mm.dat",
                               "fisheye-5mm-f1.8.dat",      "singlet-100mm-f4.dat",
                               "achromat-100mm-f4.dat"};

double Efl(const LensStack& lens) {
  float f1, f2, p1, p2;
  lens.CalculateParaxialThickLensApproximation(&f1, &f2, &p1, &p2);
  return double(f1) - p1;
}

// Bundles parallel to the axis and at a few field angles, through a grid
// over the front of the lens, started one unit in front of its most
// forward point, as an optical-design program traces them from infinity.
std::vector<RayT<double>> WorldBundles(const LensStack& lens, double half_field_degrees, double scale = 1) {
  const auto& s = lens.GetExactSurfaces();
  double front = 0, radius = 0;
  for (const ExactSurface& e : s) {
    front = std::min(front, e.IsStop() ? e.zintercept : e.center + e.zmin);
    radius = std::max(radius, 0.5 * std::fabs(e.diameter));
  }
  radius *= scale;
  std::vector<RayT<double>> rays;
  for (double field : {0.0, 0.5, 1.0}) {
    const double angle = field * half_field_degrees * 3.14159265358979323846 / 180;
    for (int j = -12; j <= 12; ++j)
      for (int i = -12; i <= 12; ++i)
        rays.push_back({{radius * i / 12, radius * j / 12, front - 1},
                        {0, std::sin(angle), std::cos(angle)},
                        kExactMint<double>});
  }
  return rays;
}

// Where the leaving ray crosses the plane z.
template <typename T>
void Land(const RayT<T>& r, double z, double* x, double* y) {
  const T t = (T(z) - r.o.z) / r.d.z;
  *x = double(r.o.x + r.d.x * t), *y = double(r.o.y + r.d.y * t);
}

struct Errors {
  double exact = 0, float_trace = 0;  // largest landing error against long double
  int traced = 0, blocked_differently = 0;
};

Errors MeasureAgainstLongDouble(const LensStack& lens, double half_field, double scale) {
  const auto& s = lens.GetExactSurfaces();
  const int n = int(s.size());
  float f1, f2, p1, p2;
  lens.CalculateParaxialThickLensApproximation(&f1, &f2, &p1, &p2);
  const double film_z = f1;  // the focal plane
  Errors e;
  for (const RayT<double>& in : WorldBundles(lens, half_field, scale)) {
    const RayT<long double> wide{{in.o.x, in.o.y, in.o.z}, {in.d.x, in.d.y, in.d.z}, kExactMint<long double>};
    RayT<long double> ref;
    RayT<double> out;
    Ray fout;
    const Ray fin(Point(float(in.o.x), float(in.o.y), float(in.o.z)),
                  Vector(float(in.d.x), float(in.d.y), float(in.d.z)), 0.001f);
    bool ok_ref, ok_exact, ok_float;
    try {
      ok_ref = ExactTraceWorldToFilm(s.data(), lens.GetInterfaces().data(), n, wide, &ref);
      ok_exact = lens.TraceWorldToFilmExact(in, &out);
      ok_float = lens.TraceWorldToFilm(fin, &fout);
    } catch (const LensError&) {
      continue;
    }
    e.blocked_differently += ok_ref != ok_exact;
    if (!ok_ref || !ok_exact) continue;
    ++e.traced;
    double rx, ry, x, y;
    Land(ref, film_z, &rx, &ry);
    Land(out, film_z, &x, &y);
    e.exact = std::max(e.exact, std::hypot(x - rx, y - ry));
    if (!ok_float) continue;
    const RayT<double> f{{fout.o.x, fout.o.y, fout.o.z}, {fout.d.x, fout.d.y, fout.d.z}, 0};
    Land(f, film_z, &x, &y);
    e.float_trace = std::max(e.float_trace, std::hypot(x - rx, y - ry));
  }
  return e;
}

}  // namespace

// The double traces carry the algorithm to within 1e-9 of the focal
// length on every bundled lens: what is left is double rounding, not the
// algorithm's. The float traces of the nearly flat surfaces of the Planar
// (radii 1,600 to 7,000) and the double Gauss (5,000) put rays
// micrometres off on the film: that is what double removes.
TEST(ExactTrace, AgreesWithLongDoubleWhereFloatIsMicrometresOff) {
  for (const char* name : kLenses) {
    SCOPED_TRACE(name);
    const LensStack lens(BundledLens(name));
    const double half_field = std::string(name).rfind("fisheye", 0) == 0 ? 60 : 14;
    // Wide-angle lenses take their light through a small part of a large
    // front: narrow the grid until it fills the beam.
    Errors e;
    for (double scale = 1; scale > 0.01 && e.traced < 300; scale /= 2)
      e = MeasureAgainstLongDouble(lens, half_field, scale);
    EXPECT_GE(e.traced, 300);
    EXPECT_LT(e.exact, 1e-9 * Efl(lens));
    // Only a ray within rounding of a rim may pass one way and not the
    // other (the grid's outermost rays graze the rims).
    EXPECT_LE(e.blocked_differently, 2);
    if (std::string(name) == "planar-50mm-f2.dat" || std::string(name) == "double-gauss-100mm-f2.dat") {
      // Several micrometres: more than a modern sensor's pixel pitch.
      EXPECT_GT(e.float_trace, 3e-3) << "float error " << e.float_trace;
      EXPECT_LT(e.float_trace, 60e-3) << "float error " << e.float_trace;
    }
  }
}

// Stopped down to f/8, the Planar's on-axis spot in double is no larger
// than the float traces make it: the float rounding only adds scatter.
TEST(ExactTrace, OnAxisSpotIsNoLargerInDouble) {
  LensStack lens(BundledLens("planar-50mm-f2.dat"));
  lens.SetApertureDiameter(4.55f);  // f/8
  float f1, f2, p1, p2;
  lens.CalculateParaxialThickLensApproximation(&f1, &f2, &p1, &p2);
  auto rms_at_best_plane = [&](bool exact) {
    lens.SetExact(exact);
    // x = a + b z, y = c + e z for each ray; the RMS radius is least at
    // z = -sum(ab + ce) / sum(b^2 + e^2).
    std::vector<double> a, b, c, d;
    for (const RayT<double>& in : WorldBundles(lens, 0)) {
      if (in.d.y != 0) continue;
      Ray out;
      if (!lens.TraceWorldToFilm(Ray(Point(float(in.o.x), float(in.o.y), float(in.o.z)),
                                     Vector(0.f, 0.f, 1.f), 0.001f), &out))
        continue;
      const double bx = double(out.d.x) / out.d.z, by = double(out.d.y) / out.d.z;
      a.push_back(out.o.x - bx * out.o.z), b.push_back(bx);
      c.push_back(out.o.y - by * out.o.z), d.push_back(by);
    }
    double num = 0, den = 0;
    for (size_t i = 0; i < a.size(); ++i) num += a[i] * b[i] + c[i] * d[i], den += b[i] * b[i] + d[i] * d[i];
    const double z = -num / den;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i)
      sum += std::pow(a[i] + b[i] * z, 2) + std::pow(c[i] + d[i] * z, 2);
    EXPECT_GT(a.size(), 10u);
    return std::sqrt(sum / double(a.size()));
  };
  const double in_float = rms_at_best_plane(false), in_double = rms_at_best_plane(true);
  EXPECT_LE(in_double, in_float);
}

// The camera: "float" is every bit the default; "double" gives rays within
// micrometres and a thousandth of a radian of float's, blocks the same
// samples but for a handful at rims, and the batch entry gives GenerateRay's
// bits in double too. Anything else is refused.
TEST(ExactTrace, CameraPrecisionParameter) {
  Film film(64, 48);
  auto camera = [&](const char* precision, const char* sampling) {
    ParamSet ps = RequiredParams(BundledLens("planar-50mm-f2.dat"));
    ps.AddFloat("filmdistance", 37.3f);
    ps.AddFloat("aperture_diameter", 12.f);
    ps.AddString("sampling", sampling);
    if (precision) ps.AddString("precision", precision);
    return MakeCamera(ps, &film);
  };
  for (const char* sampling : {"backelement", "exitpupil"}) {
    SCOPED_TRACE(sampling);
    const auto plain = camera(nullptr, sampling), as_float = camera("float", sampling),
               exact = camera("double", sampling);
    ASSERT_NE(exact, nullptr);
    std::vector<Sample> samples;
    for (int k = 0; k < 4000; ++k) {
      Sample s;
      s.imageX = float(k % 64) + 0.37f, s.imageY = float(k / 64 % 48) + 0.61f;
      s.lensU = float(k * 37 % 101) / 101.f, s.lensV = float(k * 59 % 103) / 103.f;
      samples.push_back(s);
    }
    int differ = 0, passed = 0;
    for (const Sample& s : samples) {
      Ray a, b, c;
      const float wa = plain->GenerateRay(s, &a), wb = as_float->GenerateRay(s, &b), wc = exact->GenerateRay(s, &c);
      ASSERT_EQ(0, std::memcmp(&a, &b, sizeof a));
      ASSERT_EQ(0, std::memcmp(&wa, &wb, sizeof wa));
      differ += (wa > 0) != (wc > 0);
      if (wa > 0 && wc > 0) {
        ++passed;
        // Micrometres on the front element, as on the film.
        EXPECT_NEAR(a.o.x, c.o.x, 5e-3);
        EXPECT_NEAR(a.o.y, c.o.y, 5e-3);
        EXPECT_NEAR(a.d.x, c.d.x, 1e-3);
        EXPECT_NEAR(a.d.y, c.d.y, 1e-3);
        EXPECT_NEAR(wa / wc, 1.0, 1e-3);
      }
    }
    EXPECT_GT(passed, 1000);
    EXPECT_LE(differ, 4);
    // The batch entry: GenerateRay's bits in double too.
    void* plugin = dlopen(REALISTIC_SO, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(plugin, nullptr);
    const auto batch = reinterpret_cast<decltype(&RealisticGenerateRays)>(dlsym(plugin, "RealisticGenerateRays"));
    std::vector<Ray> rays(samples.size());
    std::vector<float> weights(samples.size());
    ASSERT_EQ(batch(exact.get(), int(samples.size()), samples.data(), rays.data(), weights.data()),
              int(samples.size()));
    for (size_t i = 0; i < samples.size(); ++i) {
      Ray r;
      const float w = exact->GenerateRay(samples[i], &r);
      ASSERT_EQ(0, std::memcmp(&w, &weights[i], sizeof w)) << i;
      ASSERT_EQ(0, std::memcmp(&r, &rays[i], sizeof r)) << i;
    }
  }
  testing::internal::CaptureStderr();
  EXPECT_EQ(camera("long", "backelement"), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "realistic: camera parameter \"precision\" is \"long\"; expected \"float\" or \"double\"\n");
}
