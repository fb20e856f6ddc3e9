// SPDX-License-Identifier: Apache-2.0
// CODE V sequence files (.seq): plain text, one command a line (or several
// separated by ';'), '!' starting a comment. The common subset of a lens:
// LEN, TITLE, DIM, WL/REF, EPD/FNO, YAN/XAN/YOB/XOB, SO, S/STO/SI, CIR,
// ASP with K, A, B, C, ..., RDY/THI/GLA/CIR/RMD with a surface qualifier,
// RMD REFL (a mirror); variable flags (CCY, THC, GLC) and weights are
// read and ignored. Anything else is refused with its line and keyword.
#pragma once

#include <string>

#include "import/imported_lens.h"

// Whether the file is a CODE V sequence file: by its extension, or by a
// first command of one (LEN, TITLE, RDM, SO).
bool LooksLikeSeq(const std::string& path);

// Throws ImportError with "file:line: ..." for what cannot be read or
// modelled.
ImportedLens ReadSeq(const std::string& path, const GlassOverrides& overrides);
