// SPDX-License-Identifier: Apache-2.0
// realistic.so, the realistic camera plug-in: what a host renderer calls.
//
// The host loads the plug-in with dlopen and looks up CreateCamera; the
// batch entry RealisticGenerateRays and the lens-flare counts
// RealisticGhostCounts are optional. All have C linkage:
//
//   void* plugin = dlopen("/usr/lib/realcam/realistic.so", RTLD_NOW);
//   auto create = reinterpret_cast<decltype(&CreateCamera)>(dlsym(plugin, "CreateCamera"));
//   auto batch = reinterpret_cast<decltype(&RealisticGenerateRays)>(
//       dlsym(plugin, "RealisticGenerateRays"));  // may be null in another plug-in
//
// The plug-in resolves the host interface (Camera, ParamSet, Severe,
// ConcentricSampleDisk, Transform) from the loading program, which must
// therefore export those symbols (link the host with -rdynamic, or link
// librealcam_core.so). The guide for hosts is docs/hosts.md.
//
// Camera parameters
//   "hither"             float   scene   required  near clip distance, kept by the host's base
//   "yon"                float   scene   required  far clip distance, kept by the host's base
//   "shutteropen"        float   time    required  shutter open time, kept by the host's base
//   "shutterclose"       float   time    required  shutter close time, kept by the host's base
//   "specfile"           string  -       required  lens prescription file
//   "filmdistance"       float   lens    70        back element vertex to film plane
//   "focusdistance"      float   lens    absent  instead of "filmdistance": the film is put where
//                                        the thick-lens model of the prescription (at the
//                                        d line, whatever "wavelength" and the stop) images
//                                        sharply an object this far in front of the front
//                                        vertex; refused together with "filmdistance", or
//                                        when not finite, not positive, or at or inside the
//                                        front focal point
//   "aperture_diameter"  float   lens    1         diameter of the aperture stop
//   "filmdiag"           float   lens    35        diagonal of the film rectangle
//   "sampling"           string  -       "backelement"  where lens samples are aimed:
//                                        "backelement" the whole back element's disc;
//                                        "exitpupil" only the part of it that leads
//                                        through the lens from the sample's film point,
//                                        with the weight scaled to keep the same mean
//   "aperture_blades"    float   -       0       blades of the stop's diaphragm: 0 for a
//                                        round opening, else a whole number from 3 to
//                                        32; the opening is then the regular polygon
//                                        inscribed in the circle of "aperture_diameter"
//   "aperture_rotation"  float   degrees 0       where the polygon's first vertex lies:
//                                        at 0 on lens-space +x (the host's camera-space
//                                        -x), turning toward +y
//   "wavelength"         float   nm      absent  the light's wavelength, 360 to 830: every
//                                        medium with an Abbe number in the prescription
//                                        takes its index there; absent, every index is
//                                        the prescription's (d line)
//   "weight"             string  -       "exit"  the angle theta of the weight's cos^4:
//                                        "exit" the ray leaving the front element;
//                                        "film" the film-side ray, from the film point
//                                        to the back element, which is the angle of the
//                                        irradiance integral over the back element's disc
//   "precision"          string  -       "float" the arithmetic of the rays: "float" as every
//                                        ray has always been computed, bit for bit;
//                                        "double" forms and traces every ray in double
//                                        from the prescription's numbers as written and
//                                        rounds the ray and weight to float once, which
//                                        removes the float arithmetic's micrometres on
//                                        the film (only rays within rounding of a rim or
//                                        a cap may be blocked differently)
//   "reflections"        float   -       0       lens flare: 0, or the most times (2 or 4) a
//                                        path may reflect inside the lens. Samples with
//                                        lensU below 0.5 take the direct path, which then
//                                        carries every surface's loss; the others a path
//                                        reflecting between surfaces picked by their
//                                        reflectance, weighed to keep the estimate
//                                        unbiased. Rays are traced in double. 0: every
//                                        bit as before
//   "film_shift_x"       float   lens    0       camera movements: the film's centre moved off
//   "film_shift_y"       float   lens    0       the axis along lens-space x (the host's
//                                        camera-space -x) and y, as a view camera's rear
//                                        standard or a shift lens moves it; the film keeps
//                                        its size, so the frame shows another part of the
//                                        image circle
//   "film_tilt_x"        float   degrees 0       the film plane turned about its centre's x
//   "film_tilt_y"        float   degrees 0       axis, then its y axis (Scheimpflug: the plane
//                                        of sharp focus tilts with it); refused at 45 or
//                                        more, or where a corner would reach the lens.
//                                        "filmdistance" and "focusdistance" keep their
//                                        meaning at the film's centre; "weight" "film"
//                                        takes the angle to the film's own normal. All
//                                        four 0: every bit as without them
//   "coating"            string  -       "single" with reflections: "single", a quarter-wave
//                                        MgF2 layer (n 1.38, for 550 nm) on every air-glass
//                                        surface, or "none" for bare glass
// Lengths marked "lens" are in the unit of the prescription file. Only an
// exact -1 counts as a missing required value.
//
// Refused, with a message naming the parameter, and no camera: a
// "filmdistance", "aperture_diameter" or "filmdiag" that is not finite; a
// "filmdistance" that puts the film plane no more than 0.001 (the film
// rays' starting offset) behind the back vertex; a negative
// "aperture_diameter" (0 is a closed stop: only the axial ray passes); a
// "filmdiag" of 0 or less; any float parameter given as a string; a film
// of fewer than one pixel across or down. An "aperture_diameter" wider
// than the prescription's stop is allowed: the stop then opens that far
// and the other surfaces' rims limit the light, so the f-number is no
// longer the stop's (`realcam info` prints the prescription's stop).
//
// The rays: GenerateRay fills *ray in the world frame of the transform the
// host passed (the camera's CameraToWorld applied to a camera-space ray
// whose origin is on the front element, in lens units, and whose unit
// direction points into the scene, camera-space +z), with mint 0 and maxt
// infinity, and returns the radiometric weight to multiply the radiance
// along it by. A blocked sample comes back with weight 0 and an empty ray
// (mint 1 > maxt 0). Every sample gets such an answer, whatever its
// numbers: one that is not finite, or a raster position far off the film,
// is a blocked sample. The weight is pi r^2 / z^2 cos^4(theta): r is half
// the back element's clear aperture (the last surface of the file), z the
// distance from the back element's vertex to the film plane
// ("filmdistance", or the one "focusdistance" chose). Every ray has time 0:
// the camera sets no time from the shutter, so a host with motion blur sets
// ray.time itself. After construction a camera is only read, so any
// number of threads may call GenerateRay on one camera at once; cameras
// may also be created and deleted on several threads at once.
#pragma once

#include "core/camera.h"
#include "core/film.h"
#include "core/paramset.h"
#include "core/sampling.h"
#include "core/transform.h"

extern "C" {

// Makes a camera, or returns null after saying why on standard error (a
// bad parameter, a lens file that cannot be opened, read or used: "Cannot
// open file <path>" for the first). The host owns the camera and deletes
// it through Camera's virtual destructor. A missing "specfile" goes to the
// host's Severe (declared with SetSevereHandler in <realcam/core/error.h>;
// its default handler ends the process); if the handler returns, the
// factory goes on, cannot open the empty path and returns null. Nothing
// the plug-in does ends the host's process.
Camera* CreateCamera(const ParamSet& params, const Transform& world2cam, Film* film);

// For each of the n samples, the ray and weight that camera->GenerateRay
// gives, bit for bit, written to rays[i] and weights[i]; several rays are
// traced at a time in SIMD lanes (AVX-512 or AVX2 where the CPU has them,
// else SSE2). The camera must be one that this plug-in's CreateCamera
// made. Returns n, or -1 (writing nothing) for a camera of another
// plug-in, a negative n or a null array.
//
// The lanes of a block all compute to the end of a step even where a
// single ray's trace would have stopped early (the square root of a
// missed surface's negative discriminant, say), so the floating-point
// exception flags may be raised where GenerateRay leaves them clear. The
// results are unaffected; a host that runs with floating-point traps
// enabled should call GenerateRay instead.
int RealisticGenerateRays(const Camera* camera, int n, const Sample* samples, Ray* rays,
                          float* weights);

// For a camera made with "reflections": how many samples it has answered
// since it was made (through either entry, from any thread) and how many
// of them left the lens on a ghost path, having reflected inside it.
// Both are 0 for a camera without reflections, which does not count.
// Returns 0, or -1 (writing nothing) for a camera of another plug-in or a
// null pointer. Optional, like the batch entry: look it up with dlsym.
// Counts taken while other threads are generating rays may be a few
// samples behind.
int RealisticGhostCounts(const Camera* camera, unsigned long long* samples, unsigned long long* ghosts);

// Flare traced from the light, for a camera made with "reflections"
// (optional entries, like the batch entry). A host that knows a bright
// source (the sun, a lamp) traces rays from it through each ghost path to
// the film, where every ray lands, instead of waiting for the few camera
// samples whose ghost path happens to end on it.
//
// RealisticGhostPaths writes the camera's two-reflection ghost paths as
// pairs (the surface the light reflects at first, met on its way in, then
// the one in front of it it reflects at next), at most `capacity` pairs,
// and returns how many there are (0 without "reflections"; -1 for a camera
// of another plug-in). Paths of four reflections stay with GenerateRay.
//
// RealisticTraceGhost traces n camera-space rays (the light's own
// direction, toward the lens, starting in front of it) along one listed
// path to the film: for each, its raster position (x, y, as Sample's
// imageX and imageY) and its weight, the product of the path's two
// reflectances and every transmittance (0: blocked, or off the film). The
// weight is the share of the ray's power that arrives: a host splats
// power x weight / the pixel's area. Returns n, or -1 for another plug-in's
// camera, a path it does not list, a moved or tilted film, or null arrays.
//
// RealisticFrontAperture gives the lens's front vertex (camera space) and
// the radius of a disc around the axis there that every ray entering the
// lens passes through: where to start the rays.
//
// RealisticGhostSample says whether GenerateRay gives this sample one of
// the listed two-reflection ghost paths (1) or not (0: the direct path,
// or with "reflections" 4 a path of four): a host that traces a source's ghosts
// from the light gives such samples none of that source's emission, so no
// light is counted twice. -1 for another plug-in's camera.
int RealisticGhostPaths(const Camera* camera, int* pairs, int capacity);
int RealisticTraceGhost(const Camera* camera, int later, int earlier, int n, const Ray* rays, float* raster_xy,
                        float* weights);
int RealisticFrontAperture(const Camera* camera, float* centre, float* radius);
int RealisticGhostSample(const Camera* camera, const Sample* sample);
}
