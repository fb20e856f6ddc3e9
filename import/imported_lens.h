// SPDX-License-Identifier: Apache-2.0
// A lens read from another format (a Zemax sequential file, a patent's
// table), on its way to realcam's prescription, and the writers back.
// Lengths in millimetres; the surfaces in prescription order, front first.
#pragma once

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "realistic/lens_interface.h"

struct ImportedSurface {
  double radius = 0;      // 0: the stop; infinite: a plane
  double thickness = 0;   // to the next surface (the last: to the film)
  double index = 1;       // of the medium behind, at the d line
  double aperture = 0;    // clear diameter
  std::string glass;      // a catalogue glass "MAKER:NAME", or empty
  double abbe = 0;        // V_d of a glass given by its numbers, or 0
  bool aspheric = false;
  AsphereTerms asphere;
  bool mirror = false;    // reflects: the light goes back (index: the same medium)
  double obscuration = 0; // an opaque centred disc's diameter, or 0
  int source_line = 0;    // where the surface begins in the file read
};

struct ImportedLens {
  std::string source;     // the file read
  std::string format;     // "Zemax sequential", "patent table"
  std::string title;
  std::vector<ImportedSurface> surfaces;
  std::vector<std::string> notes;     // every choice the conversion made
  std::vector<std::string> warnings;  // choices a user should look at
  double design_nm = 0;   // the file's primary wavelength, or 0 where it names none
};

// Glasses given on the command line (--glass NAME=nd,vd), by name.
struct GlassOverride {
  double nd, vd;
};
using GlassOverrides = std::map<std::string, GlassOverride>;

// Any input problem: "file:line: what is wrong".
struct ImportError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What the importers share: the largest file they read, and a number as
// their notes print it (seven digits).
constexpr size_t kMaxImportBytes = 8 << 20;
std::string NoteNumber(double v);
// A word in upper case (ASCII), as lens files' keywords are compared.
std::string UpperCase(std::string s);
// A word that must be a finite number, else ImportError "where: what "word"
// is not a finite number".
double ImportNumber(const std::string& word, const std::string& where, const std::string& what);
// A lens file's text as bytes of ASCII, Latin-1 or UTF-8 lines: UTF-16
// (with its byte-order mark) narrowed, a UTF-8 mark dropped. Throws
// ImportError for a file that cannot be read or is over the limit.
std::string ReadLensText(const std::string& path);
// A title as UTF-8: Latin-1 text converted, control characters dropped,
// trimmed.
std::string TitleText(const std::string& text);

// The lens as a realcam prescription, with a header of comments that
// records the source, the units, the glasses and every choice made.
std::string WritePrescription(const ImportedLens& lens);

// Reads the prescription file at `path` (realcam's format) back as an
// imported lens, with the numbers as the file writes them.
ImportedLens ReadPrescription(const std::string& path);

// A Zemax sequential file for the lens: UNIT MM, an object at infinity,
// STANDARD and EVENASPH surfaces, catalogue or model glasses, semi-diameters,
// the stop, and the film as the image surface.
std::string WriteZmx(const ImportedLens& lens);

// The stop plane for a file's stop on a surface that is not a plane in
// air: in the medium in front of `surface` (whose glass `medium` holds),
// at the surface's vertex, or where the surface's rim lies where that is
// met first (a surface curving back toward the light); the previous
// surface's thickness shortened to it. Adds a warning.
ImportedSurface StopPlaneBefore(ImportedLens* lens, const ImportedSurface& surface, const ImportedSurface& medium,
                                const std::string& label);

// Sets the stop's diameter so that the lens's paraxial entrance pupil has
// the given diameter.
void SetEntrancePupil(ImportedLens* lens, double diameter);
// The paraxial EFL of the lens.
double ImportedEfl(const ImportedLens& lens);
