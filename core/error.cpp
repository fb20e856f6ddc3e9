// SPDX-License-Identifier: Apache-2.0
#include "core/error.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "core/core.h"

namespace {

std::atomic<SevereHandler> current_handler{nullptr};
std::mutex recorded_mutex;
std::vector<std::string> recorded;

void Record(const char* message) {
  std::lock_guard<std::mutex> lock(recorded_mutex);
  recorded.emplace_back(message);
}

}  // namespace

void Severe(const char* format, ...) {
  char message[2048];
  va_list args;
  va_start(args, format);
  vsnprintf(message, sizeof message, format, args);
  va_end(args);
  if (SevereHandler handler = current_handler.load()) {
    handler(message);
    return;
  }
  std::string text = message;
  if (text.empty() || text.back() != '\n') text += '\n';
  fprintf(stderr, "Fatal error: %s", text.c_str());
  exit(1);
}

SevereHandler SetSevereHandler(SevereHandler handler) { return current_handler.exchange(handler); }

ScopedSevereRecorder::ScopedSevereRecorder() : previous(SetSevereHandler(Record)) {
  std::lock_guard<std::mutex> lock(recorded_mutex);
  recorded.clear();
}

ScopedSevereRecorder::~ScopedSevereRecorder() { SetSevereHandler(previous); }

const std::vector<std::string>& ScopedSevereRecorder::Messages() const { return recorded; }
