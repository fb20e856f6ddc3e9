// SPDX-License-Identifier: Apache-2.0
#include "realistic/lens_error.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

std::string Report(const std::string& condition, const std::string& operation,
                   const std::string& context, const std::string& explanation) {
  std::string text = context.empty() ? std::string() : context + ": ";
  const std::string technical = "realistic: condition \"" + condition + "\" failed in " + operation;
  return explanation.empty() ? text + technical : text + explanation + " [" + technical + "]";
}

}  // namespace

ConsistencyError::ConsistencyError(std::string cond, std::string op, std::string where,
                                   std::string plain)
    : LensError(Report(cond, op, where, plain)),
      condition(std::move(cond)),
      source("realistic"),
      operation(std::move(op)),
      context(std::move(where)),
      explanation(std::move(plain)) {}

ConsistencyError ConsistencyError::WithContext(const std::string& where,
                                               const std::string& plain) const {
  return ConsistencyError(condition, operation, context.empty() ? where : where + ": " + context,
                          plain.empty() ? explanation : plain);
}

void FailCondition(const char* condition, const char* operation) {
  throw ConsistencyError(condition, operation);
}

std::string ShortestFloat(float v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[48];
  int digits = 1;
  for (; digits <= 9; ++digits) {
    snprintf(buf, sizeof buf, "%.*g", digits, double(v));
    if (strtof(buf, nullptr) == v) break;
  }
  // The same digits in fixed notation, when that is no longer: 30 rather
  // than 3e+01, 1600 rather than 1.6e+03; 1e-07 stays as it is.
  if (std::strchr(buf, 'e')) {
    const int exponent = std::atoi(std::strchr(buf, 'e') + 1);
    char fixed[48];
    snprintf(fixed, sizeof fixed, "%.*f", std::max(0, digits - 1 - exponent), double(v));
    if (std::strlen(fixed) <= std::strlen(buf) && strtof(fixed, nullptr) == v) return fixed;
  }
  return buf;
}
