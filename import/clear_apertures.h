// SPDX-License-Identifier: Apache-2.0
// Clear apertures for a lens file that leaves them to the design program:
// each surface's semi-diameter is the largest height at which the real
// rays of the entrance pupil's rim, at every field of the file, cross it,
// as an optical-design program sizes them; the stop's from the entrance
// pupil, paraxially. Lengths in millimetres.
#pragma once

#include <string>
#include <vector>

#include "import/imported_lens.h"

struct ApertureSpec {
  double pupil_diameter = 0;  // the entrance pupil's diameter, or 0
  double fnumber = 0;         // or the f-number at infinity (EFL / pupil), or 0
  enum FieldKind { kAngle, kObjectHeight, kParaxialImageHeight };
  FieldKind kind = kAngle;
  std::vector<double> fields;  // degrees, or millimetres: radial, any sign
  double object_distance = 0;  // from the front vertex; 0 or infinite: at infinity
  std::string described;       // the file's words for the above, for the warning
};

// The paraxial entrance pupil of the lens (object at infinity): its
// position (z from the front vertex) and the ratio of the stop's diameter
// to the pupil's. False where no paraxial ray reaches the stop.
bool ParaxialEntrancePupil(const ImportedLens& lens, double* z, double* stop_over_pupil);

// Gives every surface whose aperture is 0 its clear aperture (the stop as
// the entrance pupil asks); surfaces with an aperture keep it. Adds a
// warning naming what was computed and from what. Throws ImportError
// (naming `lens.source`) where the file gives no pupil, or no real ray of
// it passes the lens.
void ComputeClearApertures(ImportedLens* lens, const ApertureSpec& spec);

// Narrows neighbouring surfaces' clear apertures (both, by 5% a step)
// until none cross within them: glass and air gaps keep at least a tenth
// of their axial thickness at the rim. Returns how many surfaces it
// narrowed.
int KeepSurfacesApart(ImportedLens* lens);
