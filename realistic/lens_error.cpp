#include "realistic/lens_error.h"

#include <utility>

namespace {

std::string Report(const std::string& condition, const std::string& operation,
                   const std::string& context) {
  std::string text = context.empty() ? std::string() : context + ": ";
  return text + "realistic: condition \"" + condition + "\" failed in " + operation;
}

}  // namespace

ConsistencyError::ConsistencyError(std::string cond, std::string op, std::string where)
    : LensError(Report(cond, op, where)),
      condition(std::move(cond)),
      source("realistic"),
      operation(std::move(op)),
      context(std::move(where)) {}

ConsistencyError ConsistencyError::WithContext(const std::string& where) const {
  return ConsistencyError(condition, operation, context.empty() ? where : where + ": " + context);
}

void FailCondition(const char* condition, const char* operation) {
  throw ConsistencyError(condition, operation);
}
