// SPDX-License-Identifier: Apache-2.0
// The batch entry point RealisticGenerateRays, declared with the rest of
// the plug-in's interface in realistic.h; kept for hosts that include it
// by this name.
#pragma once

#include "realistic.h"
