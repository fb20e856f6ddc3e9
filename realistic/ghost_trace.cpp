// SPDX-License-Identifier: Apache-2.0
#include "realistic/ghost_trace.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {


// SplitMix64: the path's random numbers, uniform in [0, 1).
double Uniform(uint64_t* state) {
  uint64_t z = (*state += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return double((z ^ (z >> 31)) >> 11) * (1.0 / 9007199254740992.0);
}

}  // namespace

double CoatingCosine(double x) {
  // cos is even; x = k pi/2 + r with |r| <= pi/4 (Cody and Waite's two
  // parts of pi/2), k rounded to nearest by the 1.5 * 2^52 sum, and the
  // quadrant from k's low bits. Plain IEEE operations only, in a fixed
  // order, so the batch lanes reproduce every bit.
  x = std::fabs(x);
  const double shifted = x * kTwoOverPi + kRoundingShift;
  const double k = shifted - kRoundingShift;
  const double r = (x - k * kHalfPiHigh) - k * kHalfPiLow;
  uint64_t bits;
  memcpy(&bits, &shifted, sizeof bits);
  const int quadrant = int(bits & 3);
  const double z = r * r;
  double c = kCosTerms[7], s = kSinTerms[7];
  for (int t = 6; t >= 0; --t) c = c * z + kCosTerms[t], s = s * z + kSinTerms[t];
  c = 1 + z * c;  // 1 - z/2 + z^2/24 - ...
  s = r + r * z * s;
  return quadrant == 0 ? c : quadrant == 1 ? -s : quadrant == 2 ? -c : s;
}

double Reflectance(double n1, double n2, double eta, double cosi, bool coated, double inverse_nm) {
  const double sini2 = std::max(0.0, 1 - cosi * cosi);
  const double sint2 = eta * eta * sini2;
  if (sint2 >= 1) return 1;  // total internal reflection
  const double cost = std::sqrt(1 - sint2);
  // Fresnel's amplitude coefficients are fractions; each reflectance below
  // is formed over one common denominator, a single division.
  if (!coated || (n1 != 1 && n2 != 1)) {
    // rs = (n1 ci - n2 ct) / (n1 ci + n2 ct), rp = (n2 ci - n1 ct) / (n2 ci + n1 ct).
    const double sn = n1 * cosi - n2 * cost, sd = n1 * cosi + n2 * cost;
    const double pn = n2 * cosi - n1 * cost, pd = n2 * cosi + n1 * cost;
    return 0.5 * (sn * sn * (pd * pd) + pn * pn * (sd * sd)) / (sd * sd * (pd * pd));
  }
  // Air, the layer, the glass; the layer's own angle from Snell's law.
  // Only a surface between air and glass carries the coating.
  const double n_air = n1 == 1 ? n1 : n2, n_glass = n1 == 1 ? n2 : n1;
  const double c_air = n1 == 1 ? cosi : cost, c_glass = n1 == 1 ? cost : cosi;
  const double s_air2 = 1 - c_air * c_air;
  const double c_layer = std::sqrt(std::max(0.0, 1 - s_air2 * kInverseLayerSquared));
  // Every angle is real here (the light passes the surface), so the
  // coefficients a (air to layer) and b (layer to glass) are real and the
  // layer's two reflections interfere as
  // |r|^2 = (a^2 + b^2 + 2ab cos 2d) / (1 + a^2 b^2 + 2ab cos 2d).
  const double cos2d = CoatingCosine(kTwiceDeltaScale * c_layer * inverse_nm);
  const double L = kCoatingIndex;
  const double asn = n_air * c_air - L * c_layer, asd = n_air * c_air + L * c_layer;
  const double apn = L * c_air - n_air * c_layer, apd = L * c_air + n_air * c_layer;
  const double bsn = L * c_layer - n_glass * c_glass, bsd = L * c_layer + n_glass * c_glass;
  const double bpn = n_glass * c_layer - L * c_glass, bpd = n_glass * c_layer + L * c_glass;
  const double xs = 2 * asn * asd * bsn * bsd * cos2d, xp = 2 * apn * apd * bpn * bpd * cos2d;
  const double ns = asn * asn * (bsd * bsd) + bsn * bsn * (asd * asd) + xs;
  const double ds = asd * asd * (bsd * bsd) + asn * asn * (bsn * bsn) + xs;
  const double np = apn * apn * (bpd * bpd) + bpn * bpn * (apd * apd) + xp;
  const double dp = apd * apd * (bpd * bpd) + apn * apn * (bpn * bpn) + xp;
  // The same from either side (no absorption): a reflectance, not an amplitude.
  return 0.5 * (ns * dp + np * ds) / (ds * dp);
}

double SurfaceReflectance(double n1, double n2, double cosi, bool coated, double nanometres) {
  return Reflectance(n1, n2, n1 / n2, cosi, coated, 1 / nanometres);
}

void PrepareGhostSettings(const ExactSurface* s, int n, GhostSettings* settings) {
  settings->surfaces.clear();
  settings->odds.assign(1, 0.0);
  for (int k = 0; k < n; ++k) {
    const double before = k == 0 ? 1.0 : s[k - 1].index, after = s[k].index;
    if (s[k].IsStop() || before == after) continue;
    settings->surfaces.push_back(k);
    settings->odds.push_back(settings->odds.back() +
                             SurfaceReflectance(before, after, 1, settings->coated, settings->nanometres));
  }
}

namespace {

// Picks one of the reflecting surfaces at positions [lo, hi) of the list,
// each with a chance in proportion to its reflectance; returns the
// position and multiplies *chance by the one it had.
int Pick(const GhostSettings& g, int lo, int hi, double u, double* chance) {
  const double from = g.odds[size_t(lo)], span = g.odds[size_t(hi)] - from;
  const double target = from + u * span;
  // The last position at or before the target: one before the first sum
  // above it (the sums never fall), counted without branches.
  int k = lo;
  for (int i = lo + 1; i < hi; ++i) k += !(target < g.odds[size_t(i)]);
  k = std::min(std::max(k, lo), hi - 1);
  *chance *= (g.odds[size_t(k) + 1] - g.odds[size_t(k)]) / span;
  return k;
}

}  // namespace

bool PlanGhostPath(const GhostSettings& settings, int kind, uint64_t random, GhostPlan* plan) {
  uint64_t state = random;
  // Which path: the direct one, or a ghost, its surfaces picked in
  // proportion to their reflectance: from the film, a reflection back
  // toward the film at one surface, and toward the scene again at a later
  // one (twice over for four, a quarter of the time). The weight divides
  // by the chance of the path, so every path with light is sampled and
  // the estimate is unbiased.
  const int m = int(settings.surfaces.size());
  const int most = m >= 2 ? settings.reflections : 0;
  double chance = 1;
  int* chosen = plan->chosen;
  int count = 0;
  if (kind < 0) {
    const bool ghost = most > 0 && Uniform(&state) >= 0.5;
    if (most > 0) chance = 0.5;
    kind = ghost ? 1 : 0;
  }
  if (kind == 1) {
    if (most == 0) return false;  // no two surfaces to reflect between
    count = most == 4 && Uniform(&state) >= 0.75 ? 4 : 2;
    chance *= count == 4 ? 0.25 : most == 4 ? 0.75 : 1.0;
    int at = Pick(settings, 0, m - 1, Uniform(&state), &chance);
    chosen[0] = at;
    at = chosen[1] = Pick(settings, at + 1, m, Uniform(&state), &chance);
    if (count == 4) {
      at = chosen[2] = Pick(settings, 0, at, Uniform(&state), &chance);
      chosen[3] = Pick(settings, at + 1, m, Uniform(&state), &chance);
    }
    for (int k = 0; k < count; ++k) chosen[k] = settings.surfaces[size_t(chosen[k])];
  }
  plan->count = count;
  plan->chance = chance;
  return true;
}

namespace {

// Walks a ray along the stack from surface i in the way dir (-1: toward
// the scene, +1: toward the film), reflecting at chosen[0 .. count) in
// that order and at the lens's own mirrors, refracting everywhere else,
// until it leaves the stack at either end. Returns the index where it
// left (-1 or n), or kBlocked; *r, *weight and *taken follow it.
constexpr int kBlocked = -1000;
int WalkGhost(const ExactSurface* s, const LensInterface* shape, int n, int i, int dir, const int* chosen,
              int count, const GhostSettings& settings, RayT<double>* r, double* weight, int* taken) {
  using V = Vec3T<double>;
  for (int step = 0; step < (count + 1) * (n + 1) + 1; ++step) {
    if (i < 0 || i >= n) return i;
    V hit, normal;
    if (!ExactIntersect(s[i], shape[i], *r, &hit, &normal)) return kBlocked;
    if (shape[i].IsMirror()) {
      // A mirror of the lens's own (a catadioptric lens): every path
      // reflects there, all the light, and keeps its way along the list.
      *r = ExactReflect(r->d, hit, normal);
      i += dir;
      continue;
    }
    const double n_front = i == 0 ? 1.0 : s[i - 1].index, n_back = s[i].index;
    const double n1 = dir < 0 ? n_back : n_front, n2 = dir < 0 ? n_front : n_back;
    if (n1 == n2) {
      // The stop (or a plane between like media) only clips: the ray goes
      // on from where it was, as in the plain trace. A stop in the plane of
      // the next surface's vertex lies behind that surface's rim, and a ray
      // restarted on it would already be past the glass it must meet next.
      i += dir;
      continue;
    }
    // The intersection's normal is of unit length already.
    V nrm = normal;
    double cosi = -nrm.Dot(r->d);
    if (cosi < 0) nrm = -nrm, cosi = -cosi;
    const double eta = n1 / n2;
    const double R = Reflectance(n1, n2, eta, cosi, settings.coated, 1 / settings.nanometres);
    if (*taken < count && i == chosen[*taken]) {
      *weight *= R;
      ++*taken;
      *r = {hit, r->d + nrm * (2 * cosi), kExactMint<double>};
      dir = -dir;
      i += dir;
      continue;
    }
    // Refracted; total internal reflection here belongs to another path.
    const double k = 1 - eta * eta * (1 - cosi * cosi);
    if (R >= 1 || k < 0) return kBlocked;
    *weight *= 1 - R;
    *r = {hit, r->d * eta + nrm * (eta * cosi - std::sqrt(k)), kExactMint<double>};
    i += dir;
  }
  return kBlocked;
}

bool GhostPath(const ExactSurface* s, const LensInterface* shape, int n, const RayT<double>& ray,
               const GhostSettings& settings, int kind, uint64_t random, RayT<double>* exit, double* factor,
               int* reflections) {
  GhostPlan plan;
  if (!PlanGhostPath(settings, kind, random, &plan)) return false;
  RayT<double> r{ray.o, ray.d.Normalized(), ray.mint};
  double weight = 1 / plan.chance;
  int taken = 0;
  // From the back toward the scene; out through the front is the camera
  // ray, back out toward the film no light.
  if (WalkGhost(s, shape, n, n - 1, -1, plan.chosen, plan.count, settings, &r, &weight, &taken) != -1) return false;
  *exit = {r.o, r.d.Normalized(), r.mint};
  *factor = weight, *reflections = taken;
  return true;
}

}  // namespace

bool GhostTraceFilmToWorld(const ExactSurface* s, const LensInterface* shape, int n, const RayT<double>& ray,
                           const GhostSettings& settings, uint64_t random, RayT<double>* exit, double* factor,
                           int* reflections, int kind) {
  try {
    if (settings.odds.empty()) {
      GhostSettings prepared = settings;
      PrepareGhostSettings(s, n, &prepared);
      return GhostPath(s, shape, n, ray, prepared, kind, random, exit, factor, reflections);
    }
    return GhostPath(s, shape, n, ray, settings, kind, random, exit, factor, reflections);
  } catch (const LensError&) {
    return false;  // a path grazing the stop's plane: no light to follow
  }
}

bool GhostTraceWorldToFilm(const ExactSurface* s, const LensInterface* shape, int n, const RayT<double>& ray,
                           int later, int earlier, const GhostSettings& settings, RayT<double>* exit,
                           double* factor) {
  if (!(earlier >= 0 && earlier < later && later < n)) return false;
  RayT<double> r{ray.o, ray.d.Normalized(), ray.mint};
  double weight = 1;
  int taken = 0;
  const int chosen[2] = {later, earlier};
  try {
    // In through the front toward the film; it must leave at the back,
    // having reflected at both.
    if (WalkGhost(s, shape, n, 0, 1, chosen, 2, settings, &r, &weight, &taken) != n || taken < 2) return false;
  } catch (const LensError&) {
    return false;
  }
  *exit = {r.o, r.d.Normalized(), r.mint};
  *factor = weight;
  return true;
}
