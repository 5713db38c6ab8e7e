// Native throughput of the JSON reader, the canonical writer and SHA-256 on
// one core, without Python in the loop.
//
//   bench_json FILE.jsonl [REPEATS]
//
// Reads FILE with mmap_file + for_each_line (the store's line reader), then
// times, each the best of REPEATS runs (default 3):
//   parse          json::parse of every line into a kept vector of values
//   write          json::write of every parsed value (canonical text)
//   parse+write    both, line by line, the value dropped after each line
//   sha256         sha256_hex of every canonical text alone
//   parse+write+hash  the value-tree path: parse, write, SHA-256
//   one-pass text   json::canonical_text of every line (no value tree)
//   one-pass hash   canonical_hash_of_line: the path every line hash takes
// and prints MB/s (MB = 10^6 bytes of the stage's input) and lines/s.
// Times are the CPU time of the thread, so that other load on a shared
// machine does not count.
// Built on demand: ninja -C BUILD bench_json.

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "hash.hpp"
#include "json.hpp"
#include "mmap_lines.hpp"

namespace {

double cpu_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <typename Fn>
double best_of(int repeats, Fn&& fn) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    double t0 = cpu_seconds();
    fn();
    double s = cpu_seconds() - t0;
    if (s < best) best = s;
  }
  return best;
}

void row(const char* stage, double seconds, size_t bytes, size_t lines) {
  std::printf("%-18s %9.3f s %10.1f MB/s %12.0f lines/s\n", stage, seconds,
              static_cast<double>(bytes) / 1e6 / seconds, static_cast<double>(lines) / seconds);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.jsonl [REPEATS]\n", argv[0]);
    return 2;
  }
  int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
  if (repeats < 1) repeats = 1;

  auto map = vl::mmap_file(argv[1]);
  if (!map) {
    std::fprintf(stderr, "%s: missing or empty\n", argv[1]);
    return 1;
  }
  std::vector<std::string_view> lines;
  size_t in_bytes = 0;
  vl::for_each_line(map->view(), [&](std::string_view line) {
    lines.push_back(line);
    in_bytes += line.size();
  });

  // Parse, keeping the values (as jsonl_read does).
  std::vector<vl::json::Value> values;
  size_t bad = 0;
  double t_parse = best_of(repeats, [&] {
    values.clear();
    values.reserve(lines.size());
    bad = 0;
    for (std::string_view line : lines) {
      if (auto v = vl::json::parse(line)) values.push_back(std::move(*v));
      else ++bad;
    }
  });

  // Canonical text of every value into one reused buffer.
  size_t out_bytes = 0;
  std::string buf;
  double t_write = best_of(repeats, [&] {
    out_bytes = 0;
    for (const auto& v : values) {
      buf.clear();
      vl::json::write(buf, v);
      out_bytes += buf.size();
    }
  });

  size_t sink = 0;
  double t_both = best_of(repeats, [&] {
    for (std::string_view line : lines) {
      auto v = vl::json::parse(line);
      if (!v) continue;
      buf.clear();
      vl::json::write(buf, *v);
      sink += buf.size();
    }
  });

  std::vector<std::string> texts;
  texts.reserve(values.size());
  for (const auto& v : values) texts.push_back(vl::json::to_string(v));
  values.clear();
  values.shrink_to_fit();
  double t_sha = best_of(repeats, [&] {
    for (const auto& t : texts) sink += static_cast<unsigned char>(vl::sha256_hex(t)[0]);
  });

  double t_all = best_of(repeats, [&] {
    for (std::string_view line : lines) {
      auto v = vl::json::parse(line);
      if (!v) continue;
      buf.clear();
      vl::json::write(buf, *v);
      sink += static_cast<unsigned char>(vl::sha256_hex(buf)[0]);
    }
  });

  double t_one_text = best_of(repeats, [&] {
    for (std::string_view line : lines) {
      if (auto t = vl::json::canonical_text(line)) sink += t->size();
    }
  });

  double t_one_hash = best_of(repeats, [&] {
    for (std::string_view line : lines) {
      if (auto d = vl::canonical_hash_of_line(line)) sink += d->bytes[0];
    }
  });

  std::printf("file %s: %zu lines (%zu unreadable), %.1f MB of lines, %.1f MB canonical\n",
              argv[1], lines.size(), bad, static_cast<double>(in_bytes) / 1e6,
              static_cast<double>(out_bytes) / 1e6);
  std::printf("%-18s %11s %15s %20s\n", "stage", "time", "throughput", "rate");
  row("parse", t_parse, in_bytes, lines.size());
  row("write", t_write, out_bytes, lines.size());
  row("parse+write", t_both, in_bytes, lines.size());
  row("sha256", t_sha, out_bytes, lines.size());
  row("parse+write+hash", t_all, in_bytes, lines.size());
  row("one-pass text", t_one_text, in_bytes, lines.size());
  row("one-pass hash", t_one_hash, in_bytes, lines.size());
  std::printf("one-pass hash vs parse+write+hash: %.2fx\n", t_all / t_one_hash);
  return sink == 42 ? 3 : 0;  // keeps the loops observable
}
