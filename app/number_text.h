// SPDX-License-Identifier: Apache-2.0
// Number formatting that scripts can rely on: every float is printed in
// the shortest form that reads back to the same 32-bit float; values that
// are not finite print as inf, -inf or nan.
#pragma once

#include <string>

std::string FormatFloat(float v);
