// SPDX-License-Identifier: Apache-2.0
#include "app/number_text.h"

#include "realistic/lens_error.h"

// The prescription's 56.20238 prints as 56.20238, not 56.2023811.
std::string FormatFloat(float v) { return ShortestFloat(v); }
