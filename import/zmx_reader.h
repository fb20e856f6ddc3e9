// SPDX-License-Identifier: Apache-2.0
// Zemax sequential lens files (.zmx): UTF-16 (with its byte-order mark),
// UTF-8 or Latin-1 text, CRLF or LF; UNIT, GCAT, ENPD/FNUM and SURF blocks
// of TYPE STANDARD or EVENASPH with CURV, DISZ, GLAS, DIAM, CONI, PARM and
// STOP. Surface 0 is the object, the last the image.
#pragma once

#include <string>

#include "import/imported_lens.h"

// Whether the file is a Zemax file: by its extension, or by its first lines.
bool LooksLikeZmx(const std::string& path);

// Throws ImportError with "file:line: ..." for what cannot be read or
// modelled: a non-sequential file, mirrors, coordinate breaks and other
// surface types, unknown units, a glass with no data.
ImportedLens ReadZmx(const std::string& path, const GlassOverrides& overrides);
