// SPDX-License-Identifier: Apache-2.0
// The plug-in's own errors. Nothing here ends the process: the factory
// turns an error during construction into "no camera", ray generation
// reports it once and aborts, and the tools print it and exit 1.
#pragma once

#include <stdexcept>
#include <string>

// Any failure of the lens code that a caller can report: a malformed
// prescription file, a lens the camera cannot use, a failed condition.
class LensError : public std::runtime_error {
 public:
  explicit LensError(const std::string& message) : std::runtime_error(message) {}
};

// A violated consistency condition: the condition's own text, the source
// that checked it and the signature of the operation that failed, plus
// optional context such as the prescription file and line.
class ConsistencyError : public LensError {
 public:
  ConsistencyError(std::string condition, std::string operation, std::string context = {},
                   std::string explanation = {});

  const std::string& Condition() const { return condition; }
  const std::string& Source() const { return source; }
  const std::string& Operation() const { return operation; }
  const std::string& Context() const { return context; }

  const std::string& Explanation() const { return explanation; }

  // The same error with context put in front, for callers that know where
  // the failing values came from, and a plain explanation of what the
  // condition means there. With an explanation the report reads
  // `context: explanation [realistic: condition "..." failed in ...]`.
  ConsistencyError WithContext(const std::string& where, const std::string& plain = {}) const;

 private:
  std::string condition, source, operation, context, explanation;
};

// A float in the fewest significant digits that read back to it (nan,
// inf and -inf as such), for messages that quote a value as it was given.
std::string ShortestFloat(float v);

// Throws the ConsistencyError; kept out of line so that the checks on the
// ray path cost one compare and a never-taken branch.
[[noreturn]] void FailCondition(const char* condition, const char* operation);

#define LENS_CHECK(ok, condition_text, operation_text)                    \
  do {                                                                    \
    if (__builtin_expect(!(ok), 0)) FailCondition(condition_text, operation_text); \
  } while (0)
