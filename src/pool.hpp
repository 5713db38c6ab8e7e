// The process-wide worker pool for the parallel scans.
//
// One pool per process, created at first use with one worker per logical
// processor, or with the number given by RAYON_NUM_THREADS (else
// RAYON_RS_NUM_CPUS) when that holds a positive integer.  Tasks must not
// touch Python objects; results come back in input order, so the output of
// a scan never depends on thread timing.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <vector>

namespace vl::pool {

// The number of workers the pool has (or will have).
size_t size();

// Runs body(i) for every i in [0, n) on the pool and waits for all of them.
// The first exception a task throws is rethrown on the calling thread.
void for_each_index(size_t n, const std::function<void(size_t)>& body);

// Runs body(i) for every i in [0, n) on the pool while the calling thread
// runs `meanwhile` (which may not use the pool itself for long: the tasks
// queue behind it); the calling thread then joins the rest of the tasks
// and waits for all of them.  With a pool of one worker the tasks run
// after `meanwhile`.  `meanwhile` always runs on the calling thread: when
// the pool is taken by another thread's work (the caller finds no place
// in it), the tasks run first and `meanwhile` after them.  An exception of
// `meanwhile` cancels the tasks not yet started and is rethrown once the
// others are done; otherwise the first exception a task throws is rethrown.
void for_each_index_while(size_t n, const std::function<void(size_t)>& body, const std::function<void()>& meanwhile);

// Runs work(i) for every i in [0, n) on the pool and then(i) for each i in
// index order, one call at a time, each as soon as work(i) and then(i - 1)
// are done; no more than `in_flight` indices are between the start of their
// work and the end of their then(), so work(i) may fill a buffer numbered
// i % in_flight that then(i) empties.  No thread waits idle for a whole
// batch to finish.  The first exception is rethrown on the calling thread.
void for_each_in_order(size_t n, size_t in_flight, const std::function<void(size_t)>& work,
                       const std::function<void(size_t)>& then);

// Maps every index through fn on the pool; results in index order.
template <typename T, typename Fn>
std::vector<T> ordered_map(size_t n, Fn&& fn) {
  std::vector<std::optional<T>> slots(n);
  for_each_index(n, [&](size_t i) { slots[i].emplace(fn(i)); });
  std::vector<T> out;
  out.reserve(n);
  for (auto& s : slots) out.push_back(std::move(*s));
  return out;
}

}  // namespace vl::pool
