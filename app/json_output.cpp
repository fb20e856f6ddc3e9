// SPDX-License-Identifier: Apache-2.0
#include "app/json_output.h"

#include <cmath>
#include <cstdio>

Json JsonNumber(double v) {
  const float f = float(v);
  if (std::isnan(f)) return "nan";
  if (std::isinf(f)) return f > 0 ? "inf" : "-inf";
  return f;
}

void PrintJson(const Json& j) { printf("%s\n", j.dump().c_str()); }
