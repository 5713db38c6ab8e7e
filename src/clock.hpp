// Clocks for the phase times the whole-file pipelines report (the
// `measure` results of tracking and purging).
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>

namespace vl {

// Processor time of the calling thread, in nanoseconds.
inline uint64_t thread_cpu_ns() {
  struct timespec ts;
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

// A steady clock, in nanoseconds.
inline uint64_t clock_ns() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
          .count());
}

}  // namespace vl
