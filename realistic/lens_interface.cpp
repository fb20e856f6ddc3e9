// SPDX-License-Identifier: Apache-2.0
#include "realistic/lens_interface.h"

#include <algorithm>
#include <cmath>

#include "realistic/exact_trace.h"
#include "realistic/lens_error.h"

LensInterface::LensInterface(float r, float axpos, float idx, float d, bool aspheric)
    : radius(r), zintercept(axpos), center(std::isinf(r) ? axpos : axpos + r), index(idx), diameter(0.f),
      zmin(0.f), zmax(0.f), aspheric_aperture(aspheric) {
  SetDiameter(d);
}

void LensInterface::SetDiameter(float d) {
  static const char* const operation = "void LensInterface::SetDiameter(float)";
  diameter = d;
  if (radius == 0.f) {
    zmin = zmax = zintercept;
  } else if (IsPlane()) {
    zmin = zmax = 0.f;  // centred on the vertex: the plane itself
  } else if (aspheric_aperture && 0.5f * std::fabs(d) > std::fabs(radius)) {
    // Wider than the base sphere: only the asphere's intersection serves.
    zmin = zmax = 0.f;
  } else {
    const float half_d = 0.5f * d;
    LENS_CHECK(half_d <= std::fabs(radius), "0.5f * d <= fabs(r)", operation);
    // Sphere-centred z of the rim: the cap ends where the sphere is d/2
    // from the axis.
    const float s = sqrtf(float(double(radius) * radius - 0.25 * double(d) * d));
    if (radius > 0.f) {
      zmin = -radius;  // the vertex is the sphere's lowest point
      zmax = -s;
    } else {
      zmin = s;
      zmax = -radius;  // the vertex is the sphere's highest point
    }
  }
  LENS_CHECK(zmin <= zmax, "zmin <= zmax", operation);
}

bool LensInterface::IntersectPlanar(const Ray& ray, Point* hitpoint,
                                    Vector* hitpoint_normal) const {
  // The stop plane is hit wherever it lies along the line, even behind the
  // origin: the traces only ask whether the ray passes the opening.
  const float t = float((double(zintercept) - ray.o.z) / ray.d.z);
  const Point hit = ray(t);
  LENS_CHECK(std::fabs(hit.z - zintercept) < EPSILON, "fabs(hit.z - zintercept) < EPSILON",
             "bool LensInterface::IntersectPlanar(const Ray&, Point*, Vector*) const");
  if (double(hit.x) * hit.x + double(hit.y) * hit.y <= 0.25 * double(diameter) * diameter) {
    if (iris && !InsideIris(hit.x, hit.y)) return false;
    *hitpoint = hit;
    *hitpoint_normal = Vector(0.f, 0.f, 1.f);
    return true;
  }
  return false;
}

bool LensInterface::IntersectSpherical(const Ray& ray, Point* hitpoint,
                                       Vector* hitpoint_normal) const {
  // Sphere-centred coordinates: only z shifts, so t is unchanged.
  const Ray r(Point(ray.o.x, ray.o.y, ray.o.z - center), ray.d);
  const Vector o(r.o);
  const float A = Dot(r.d, r.d);
  const float B = 2.f * Dot(r.d, o);
  // C is one quantity: o'.o' - radius^2 carried in double from the float
  // components and rounded once. Far from the vertex o'.o' and radius^2
  // are close, and rounding o'.o' to float first would cost the
  // difference most of its bits.
  const float C = float(double(o.x) * o.x + double(o.y) * o.y + double(o.z) * o.z -
                        double(radius) * radius);
  float t0, t1;
  if (!Quadratic(A, B, C, &t0, &t1)) return false;
  if (t1 < r.mint) return false;
  float thit = (t0 >= r.mint) ? t0 : t1;
  Point phit = r(thit);
  // The vertex is the cap's bound on one side, and no point of the sphere
  // lies beyond it: a hit found past it is the vertex itself, rounded.
  const float lo = VertexSideOpenMin(), hi = VertexSideOpenMax();
  if (phit.z < lo || phit.z > hi) {
    // The near root lies on the far side of the sphere (or beyond the rim);
    // a ray coming from beyond the sphere can still meet the cap at its
    // far root.
    if (thit == t1) return false;
    thit = t1;
    phit = r(thit);
    if (phit.z < lo || phit.z > hi) return false;
  }
  *hitpoint = Point(phit.x, phit.y, phit.z + center);
  // Points away from the centre of curvature; Refract turns it to face
  // the incoming ray.
  *hitpoint_normal = Normalize(Vector(phit));
  return true;
}

void LensInterface::SetBlades(int blades, float rotation_degrees) {
  if (blades == 0) {
    iris.reset();
    return;
  }
  LENS_CHECK(IsStop() && blades >= 3 && blades <= 32, "IsStop() && blades >= 3 && blades <= 32",
             "void LensInterface::SetBlades(int, float)");
  auto shape = std::make_shared<Iris>();
  shape->blades = blades;
  const double pi = 3.14159265358979323846, half = pi / blades;
  shape->cos_half_angle = std::cos(half);
  // Vertices at rotation + 2 pi k / N; the edge between two of them faces
  // the angle halfway.
  const double first = double(rotation_degrees) * pi / 180 + half;
  for (int k = 0; k < blades; ++k) {
    shape->nx[k] = std::cos(first + 2 * half * k);
    shape->ny[k] = std::sin(first + 2 * half * k);
  }
  iris = shape;
}

bool LensInterface::InsideIris(double x, double y) const {
  // Within the polygon's inscribed circle every point passes; only the
  // thin ring between it and the round opening needs the edges.
  const double apothem = 0.5 * std::fabs(double(diameter)) * iris->cos_half_angle;
  if (x * x + y * y <= apothem * apothem) return true;
  for (int k = 0; k < iris->blades; ++k)
    if (x * iris->nx[k] + y * iris->ny[k] > apothem) return false;
  return true;
}

void LensInterface::SetAsphere(const AsphereTerms& terms) {
  // Within the clear aperture the conic's square root must be real.
  const double c = IsPlane() ? 0.0 : 1.0 / double(radius), h = 0.5 * std::fabs(double(diameter));
  LENS_CHECK(!IsStop() && 1.0 - (1.0 + terms.k) * c * c * h * h >= 0.0,
             "!IsStop() && 1 - (1 + k) c^2 r^2 >= 0", "void LensInterface::SetAsphere(const AsphereTerms&)");
  asphere = std::make_shared<AsphereTerms>(terms);
}

double LensInterface::Sag(double h) const {
  if (IsStop() || IsPlane()) return asphere ? AsphereSag(0.0, *asphere, h * h) : 0.0;
  const double r = radius;
  if (asphere) return AsphereSag(1.0 / r, *asphere, h * h);
  return r - std::copysign(std::sqrt(std::max(0.0, r * r - h * h)), r);
}

double LensInterface::FrontMostSag() const {
  double least = 0;
  const double h = 0.5 * std::fabs(double(diameter));
  for (int k = 1; k <= 64; ++k) least = std::min(least, Sag(h * k / 64));
  return least;
}

bool LensInterface::IntersectAspheric(const Ray& ray, Point* hitpoint, Vector* hitpoint_normal) const {
  const RayT<double> r{{ray.o.x, ray.o.y, ray.o.z}, {ray.d.x, ray.d.y, ray.d.z}, ray.mint};
  Vec3T<double> hit, normal;
  const double c = IsPlane() ? 0.0 : 1.0 / double(radius);
  if (!AsphereIntersect(zintercept, c, *asphere, diameter, r, &hit, &normal)) return false;
  *hitpoint = Point(float(hit.x), float(hit.y), float(hit.z));
  *hitpoint_normal = Vector(float(normal.x), float(normal.y), float(normal.z));
  return true;
}

bool LensInterface::IntersectObscured(const Ray& ray, Point* hitpoint, Vector* hitpoint_normal) const {
  Point p;
  Vector n;
  const bool hit = asphere ? IntersectAspheric(ray, &p, &n)
                           : IsStop() || IsPlane() ? IntersectPlanar(ray, &p, &n) : IntersectSpherical(ray, &p, &n);
  if (!hit || Obscured(p.x, p.y)) return false;
  *hitpoint = p, *hitpoint_normal = n;
  return true;
}
