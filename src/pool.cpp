#include "pool.hpp"

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_pipeline.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace vl::pool {

static size_t positive_env(const char* name) {
  const char* text = std::getenv(name);
  if (!text || !*text) return 0;
  char* end = nullptr;
  unsigned long long v = std::strtoull(text, &end, 10);
  if (*end != '\0' || text[0] == '-' || text[0] == '+' || v == 0 || v > 4096) return 0;
  return static_cast<size_t>(v);
}

static size_t configured_size() {
  if (size_t n = positive_env("RAYON_NUM_THREADS")) return n;
  if (size_t n = positive_env("RAYON_RS_NUM_CPUS")) return n;
  unsigned hw = std::thread::hardware_concurrency();
  return hw ? hw : 1;
}

static oneapi::tbb::task_arena* make_arena() {
  size_t n = configured_size();
  // The scheduler gives all arenas together no more threads than its
  // process-wide limit, which defaults to the number of logical processors;
  // without raising it, a pool size above that number from the environment
  // would be cut down silently.  Kept for the life of the process.
  using oneapi::tbb::global_control;
  if (n > global_control::active_value(global_control::max_allowed_parallelism)) {
    new global_control(global_control::max_allowed_parallelism, n);
  }
  return new oneapi::tbb::task_arena(static_cast<int>(n));
}

static oneapi::tbb::task_arena& arena() {
  // Created on first use and kept for the life of the process.  The calling
  // thread joins the work, so the arena's concurrency is the pool size.
  static oneapi::tbb::task_arena* instance = make_arena();
  return *instance;
}

size_t size() { return static_cast<size_t>(arena().max_concurrency()); }

void for_each_index(size_t n, const std::function<void(size_t)>& body) {
  if (n == 0) return;
  if (n == 1) {
    body(0);
    return;
  }
  arena().execute([&] {
    oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<size_t>(0, n, 1),
                              [&](const oneapi::tbb::blocked_range<size_t>& r) {
                                for (size_t i = r.begin(); i != r.end(); ++i) body(i);
                              });
  });
}

void for_each_index_while(size_t n, const std::function<void(size_t)>& body, const std::function<void()>& meanwhile) {
  if (n == 0) {
    meanwhile();
    return;
  }
  // The calling thread stays in the arena throughout: the group's task
  // waits in its queue, where the other workers take it from while the
  // caller is busy, and what is left when it is done the caller runs itself.
  // A caller that finds no free place in the arena (another thread is in
  // it) has the functor run by a worker instead; `meanwhile` must stay on
  // the calling thread (it may call back into the interpreter), so then
  // the tasks run first and `meanwhile` after them.
  const std::thread::id caller = std::this_thread::get_id();
  bool done = false;
  arena().execute([&] {
    oneapi::tbb::task_group group;
    group.run([&] {
      oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<size_t>(0, n, 1),
                                [&](const oneapi::tbb::blocked_range<size_t>& r) {
                                  for (size_t i = r.begin(); i != r.end(); ++i) body(i);
                                });
    });
    if (std::this_thread::get_id() == caller) {
      try {
        meanwhile();
        done = true;
      } catch (...) {
        group.cancel();
        try {
          group.wait();
        } catch (...) {
          // The caller's own failure is the one to report.
        }
        throw;
      }
    }
    group.wait();
  });
  if (!done) meanwhile();
}

void for_each_in_order(size_t n, size_t in_flight, const std::function<void(size_t)>& work,
                       const std::function<void(size_t)>& then) {
  if (n == 0) return;
  if (n == 1 || in_flight < 2) {
    for (size_t i = 0; i < n; ++i) {
      work(i);
      then(i);
    }
    return;
  }
  using oneapi::tbb::filter_mode;
  using oneapi::tbb::make_filter;
  arena().execute([&] {
    size_t next = 0;
    oneapi::tbb::parallel_pipeline(
        in_flight,
        make_filter<void, size_t>(filter_mode::serial_in_order,
                                  [&](oneapi::tbb::flow_control& fc) -> size_t {
                                    if (next == n) {
                                      fc.stop();
                                      return 0;
                                    }
                                    return next++;
                                  }) &
            make_filter<size_t, size_t>(filter_mode::parallel,
                                        [&](size_t i) {
                                          work(i);
                                          return i;
                                        }) &
            make_filter<size_t, void>(filter_mode::serial_in_order, [&](size_t i) { then(i); }));
  });
}

}  // namespace vl::pool
