// SPDX-License-Identifier: Apache-2.0
// What `realcam info --json` prints, as a value: for the C interface and
// the Python module, which answer the same keys. Prints nothing (the lens
// checker's warnings included); throws what info would report.
#pragma once

#include "app/commands.h"
#include "app/json_output.h"

Json LensInfoJson(const InfoOptions& o);
