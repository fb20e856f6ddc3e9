// SPDX-License-Identifier: Apache-2.0
#include "realistic/lens_error.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
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
  char buf[32];
  for (int digits = 1; digits <= 9; ++digits) {
    snprintf(buf, sizeof buf, "%.*g", digits, double(v));
    if (strtof(buf, nullptr) == v) break;
  }
  return buf;
}
