/* SPDX-License-Identifier: Apache-2.0 */
/* librealcam: the realistic camera and its lens, from C (C99) or any
 * language that can call C (Python's ctypes, Rust's FFI, ...).
 *
 * The library carries everything it needs (the lens code, the camera, the
 * batch trace, the lens-file importers) and asks nothing of the program
 * that loads it; no C++ type crosses this interface. The same code is
 * compiled into the plug-in realistic.so: a camera made here hands out, for
 * the same parameters and samples, the plug-in's GenerateRay rays and
 * weights bit for bit.
 *
 * Errors: every call that can fail returns a status (REALCAM_OK is 0) or a
 * null handle, and leaves a message for the calling thread in
 * realcam_last_error(). No call prints, exits, aborts or lets an exception
 * out. Handles are freed by their own calls (null is accepted); a lens may
 * be freed while cameras made from it live (they keep their own copy).
 * After creation, handles are only read: any number of threads may call
 * realcam_camera_generate or realcam_lens_trace on one handle at once.
 *
 * Frames and units are the plug-in's (see realistic.h and the host guide):
 * lens units (the prescription's, millimetres for every bundled lens);
 * lens space has the scene toward -z and the film toward +z; camera space
 * has the scene toward +z (lens space turned half a turn about y). */
#ifndef REALCAM_REALCAM_H
#define REALCAM_REALCAM_H

#include <stddef.h>

#define REALCAM_VERSION_MAJOR 0
#define REALCAM_VERSION_MINOR 2

#if defined(__GNUC__)
#define REALCAM_API __attribute__((visibility("default")))
#else
#define REALCAM_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
  REALCAM_OK = 0,
  REALCAM_ERROR_ARGUMENT = 1, /* a null pointer, a negative count, an unknown word */
  REALCAM_ERROR_LENS = 2,     /* a lens that cannot be opened, read or used */
  REALCAM_ERROR_CAMERA = 3,   /* a camera parameter the camera refuses */
  REALCAM_ERROR_TRACE = 4,    /* a failed condition while tracing */
  REALCAM_ERROR_MEMORY = 5
} realcam_status;

typedef struct realcam_lens realcam_lens;
typedef struct realcam_camera realcam_camera;

/* The library's version, "MAJOR.MINOR.PATCH", and MAJOR * 1000 + MINOR: a
 * program built against one minor version runs with any later one of the
 * same major version. */
REALCAM_API const char* realcam_version(void);
REALCAM_API int realcam_version_number(void);

/* The calling thread's last error message ("" after none), and its status.
 * The text stays valid until the thread's next failing call. */
REALCAM_API const char* realcam_last_error(void);
REALCAM_API realcam_status realcam_last_status(void);

/* ---- Lenses ---------------------------------------------------------- */

/* A lens from a file (a realcam prescription, a Zemax .zmx or a patent
 * table, told apart by their contents) or a bundled lens's name
 * ("planar-50mm-f2"). A file of that name wins over a bundled lens. The
 * lens checker's errors refuse it; its warnings are kept, not printed. */
REALCAM_API realcam_lens* realcam_lens_open(const char* path_or_name);
/* The same from text in memory: format "dat" (a prescription), "zmx", or
 * "patent"; `name` stands for the file in messages (may be null). */
REALCAM_API realcam_lens* realcam_lens_from_text(const char* text, const char* format, const char* name);
REALCAM_API void realcam_lens_free(realcam_lens* lens);

/* The lens's name as given, its prescription text (as a realcam .dat file;
 * converted for .zmx and patent tables), and the checker's and importer's
 * warnings, one per line ("" for none). Valid while the lens lives. */
REALCAM_API const char* realcam_lens_name(const realcam_lens* lens);
REALCAM_API const char* realcam_lens_prescription(const realcam_lens* lens);
REALCAM_API const char* realcam_lens_warnings(const realcam_lens* lens);

/* First-order figures of the prescription as written (its own stop, the d
 * line): the stop's diameter, the paraxial f-number (EFL over the entrance
 * pupil) and effective focal length. */
REALCAM_API realcam_status realcam_lens_stop_diameter(const realcam_lens* lens, double* diameter);
REALCAM_API realcam_status realcam_lens_f_number(const realcam_lens* lens, double* f_number);
REALCAM_API realcam_status realcam_lens_focal_length(const realcam_lens* lens, double* efl);
/* The stop diameter that gives the f-number n (as `realcam render --fstop`
 * sets a round stop). */
REALCAM_API realcam_status realcam_lens_stop_for_f_number(const realcam_lens* lens, double n, double* diameter);
/* The image circle at infinity focus: the diameters within which some
 * light (`lit`) and at least half the centre's light (`half_light`) reach
 * the film; either pointer may be null. */
REALCAM_API realcam_status realcam_lens_image_circle(const realcam_lens* lens, double* lit, double* half_light);
/* The film distance (back vertex to film) that focuses an object at
 * `distance` in front of the front vertex, as `realcam render --focus`
 * chooses it: the plane of the smallest RMS spot of real rays through the
 * stop of diameter `aperture` (< 0: the prescription's stop), or the
 * paraxial focus where no ray passes. */
REALCAM_API realcam_status realcam_lens_focus(const realcam_lens* lens, double distance, double aperture,
                                              double* filmdistance);
/* What `realcam info LENS --json` prints, as a JSON text; free it with
 * realcam_string_free. Null on failure. */
REALCAM_API char* realcam_lens_info_json(const realcam_lens* lens);
REALCAM_API void realcam_string_free(char* text);

/* Traces n rays through the lens, in lens space. `from`: REALCAM_FROM_FILM
 * (film side to world side) or REALCAM_FROM_WORLD (the reverse; a ray
 * starting far in front of the lens is first moved along itself to just
 * in front of it, as `realcam trace` does). `precision`: REALCAM_FLOAT, the
 * camera's float arithmetic on the rays rounded to float, or
 * REALCAM_DOUBLE, the trace in double from the prescription's numbers.
 * `wavelength` in nanometres (0: the prescription's d-line indices).
 * origins and directions hold n x 3 doubles (directions need not be unit
 * length); out_origins and out_directions receive the leaving rays (unit
 * directions), and status[i] 1 where ray i passed, 0 where the lens
 * blocked it, 2 where it fails the trace's conditions (starting on the
 * wrong side, heading away from the lens); outputs of rays that did not
 * pass are NaN. */
enum { REALCAM_FROM_FILM = 0, REALCAM_FROM_WORLD = 1 };
enum { REALCAM_FLOAT = 0, REALCAM_DOUBLE = 1 };
REALCAM_API realcam_status realcam_lens_trace(const realcam_lens* lens, int from, int precision, double wavelength,
                                              size_t n, const double* origins, const double* directions,
                                              double* out_origins, double* out_directions,
                                              unsigned char* status);

/* ---- Cameras --------------------------------------------------------- */

/* A camera on the lens, for a film of width x height pixels, with the
 * plug-in's parameters as text: keys[i] = values[i] for i < count, with the
 * plug-in's keys and meanings ("filmdistance" or "focusdistance",
 * "aperture_diameter", "filmdiag", "sampling", "precision",
 * "aperture_blades", "wavelength", "reflections", ... see realistic.h). A
 * value that reads wholly as a number is a number, anything else text.
 * "hither", "yon", "shutteropen" and "shutterclose" default to 0.001, 1e30,
 * 0 and 1; "specfile" is the lens's and may not be given. A key the camera
 * does not know is refused. camera_to_world: a row-major 4x4 matrix taking
 * camera space to the world (null: the identity). */
REALCAM_API realcam_camera* realcam_camera_create(const realcam_lens* lens, int width, int height,
                                                  const char* const* keys, const char* const* values,
                                                  size_t count, const float* camera_to_world);
REALCAM_API void realcam_camera_free(realcam_camera* camera);

/* For n samples (samples[4i .. 4i+3] = raster x, raster y, lens u, lens v):
 * origins[3i..] and directions[3i..] receive the world ray and weights[i]
 * its weight, exactly as the plug-in's GenerateRay gives them; several rays
 * are traced at a time in SIMD lanes. A blocked sample has weight 0, and
 * its ray is the film-side ray in lens space (as GenerateRay's empty ray). */
REALCAM_API realcam_status realcam_camera_generate(const realcam_camera* camera, size_t n, const float* samples,
                                                   float* origins, float* directions, float* weights);

/* The mean weight at the film's centre over the whole lens (a stratified
 * 64 x 64 grid of lens samples, blocked ones counted as 0): divide a
 * render by it to expose the centre's irradiance as 1. */
REALCAM_API realcam_status realcam_camera_center_weight(const realcam_camera* camera, double* weight);
/* The film's width and height in lens units and its distance behind the
 * back element's vertex, as the camera set them. */
REALCAM_API realcam_status realcam_camera_film(const realcam_camera* camera, double* width, double* height,
                                               double* filmdistance);

/* Flare traced from the light, for a camera made with "reflections" 2 or
 * 4. realcam_camera_ghost_paths writes up to `capacity` ghost paths as
 * pairs of surface indices (the surface the light reflects at first on its
 * way in, then the one in front of it) and their number to *count.
 * realcam_camera_trace_ghost traces n world-space rays of light (origins
 * and directions, 3 floats each, starting in front of the lens, toward it)
 * along one path: raster_xy[2i..] gets where each lands on the film and
 * weights[i] the share of its power that arrives there (0: blocked or off
 * the film); splat power x weight / the pixel's area. The camera's film
 * must not be shifted or tilted. realcam_camera_front_aperture gives the
 * centre (world space) and radius of a disc square to the lens's axis at
 * its front vertex through which all entering light passes.
 * realcam_camera_ghost_sample says whether a sample (raster x, raster y,
 * lens u, lens v) is given one of the listed ghost paths (with
 * "reflections" 4, a path of four reflections is not one): such samples
 * should count none of a source whose ghosts are traced from the light. */
REALCAM_API realcam_status realcam_camera_ghost_paths(const realcam_camera* camera, int* pairs, size_t capacity,
                                                      size_t* count);
REALCAM_API realcam_status realcam_camera_trace_ghost(const realcam_camera* camera, int later, int earlier, size_t n,
                                                      const float* origins, const float* directions,
                                                      float* raster_xy, float* weights);
REALCAM_API realcam_status realcam_camera_front_aperture(const realcam_camera* camera, float* centre, float* radius);
REALCAM_API realcam_status realcam_camera_ghost_sample(const realcam_camera* camera, const float* sample,
                                                       int* ghost);

#ifdef __cplusplus
}
#endif

#endif /* REALCAM_REALCAM_H */
