// SPDX-License-Identifier: Apache-2.0
// A lens table as patents print it, as plain text:
//
//   surface   r          d       nd       vd      sd
//   1         12.875     3.34    1.69680  55.5    7.6
//   2         35.4       0.29                     6.88
//   3*        13.83      1.85    1.68948  31.0    6.48
//   STO       inf        5.4                      5.2
//   ...
//   aspheric coefficients
//   surface   K          A4            A6
//   3         0.02       1.10721E-05   1.837×10^-7
//
// A header row names the columns: the surface (surface, no, si or #), r,
// d, nd, vd, and optionally a clear semi-diameter (sd, semi-diameter, ea)
// or diameter (diameter, dia). One row per surface: its number (`*` after
// it marks an aspheric surface), r (inf, infinity, flat or ∞ for a plane),
// d, and nd and vd for glass (blank for air). The stop is a row labelled
// STO, stop or (stop), or a number followed by (stop). An aspheric table
// follows under a header with K and A4, A6, ...; exponents as E-05 or
// ×10^-5. Lines starting with '#' are comments.
#pragma once

#include <string>

#include "import/imported_lens.h"

bool LooksLikePatentTable(const std::string& path);

// Throws ImportError with "file:line: ..." for a malformed table.
ImportedLens ReadPatentTable(const std::string& path);
