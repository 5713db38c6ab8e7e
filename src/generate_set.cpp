#include "generate_set.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "error.hpp"
#include "fs.hpp"
#include "json.hpp"
#include "mmap_lines.hpp"
#include "storage.hpp"

namespace vl::token_index {

namespace {

uint32_t first_four(std::string_view s) {
  uint32_t v = 0;
  std::memcpy(&v, s.data(), 4);
  return v;
}

// Calls fn(line) for every non-empty LF-separated line, CR kept.
template <typename Fn>
void for_each_raw_line(std::string_view bytes, Fn&& fn) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t nl = bytes.find('\n', pos);
    size_t end = nl == std::string_view::npos ? bytes.size() : nl;
    if (end > pos) fn(bytes.substr(pos, end - pos));
    pos = end + 1;
  }
}

// The line of a merged file with its revoked flag set to `flag`, keeping
// every other member; the result has sorted keys, as merged lines do.
std::optional<std::string> with_revoked(std::string_view line, bool flag) {
  auto v = json::parse(line);
  if (!v) return std::nullopt;
  if (json::Object* members = v->as_object()) {
    for (auto& [key, value] : *members) {
      if (key == "revoked") {
        value = json::Value::boolean(flag);
        return json::to_string(*v);
      }
    }
    return std::nullopt;
  }
  if (json::Array* items = v->as_array(); items && items->size() == 4) {
    (*items)[3] = json::Value::boolean(flag);
    return json::to_string(*v);
  }
  return std::nullopt;
}

// The merged files by their 16-bit number as the index records it; nothing
// when two files share one (the index could not tell them apart).
std::optional<std::map<uint16_t, std::string>> merged_files_by_number(const std::string& root,
                                                                      const std::string& tokenizer) {
  std::map<uint16_t, std::string> out;
  for (auto& [number, path] : get_merged_files(root, tokenizer)) {
    if (!out.emplace(static_cast<uint16_t>(number), path).second) return std::nullopt;
  }
  return out;
}

}  // namespace

FastMatcher::FastMatcher(const SourceSet& targets) {
  for (const std::string& t : targets) {
    std::string needle = "\"" + t + "\"";
    buckets_[needle.size() >= 4 ? first_four(needle) : 0].push_back(std::move(needle));
  }
}

bool FastMatcher::is_candidate(std::string_view line) const {
  if (buckets_.empty()) return false;
  for (size_t j = line.find('"'); j != std::string_view::npos && line.size() - j >= 4;
       j = line.find('"', j + 1)) {
    auto it = buckets_.find(first_four(line.substr(j)));
    if (it == buckets_.end()) continue;
    for (const std::string& needle : it->second) {
      if (line.substr(j, needle.size()) == needle) return true;
    }
  }
  return false;
}

bool matches(const TokenIndexEntry& e, const SourceSet& targets) {
  return std::any_of(e.sources.begin(), e.sources.end(),
                     [&](const std::string& s) { return targets.count(s) != 0; });
}

uint64_t revoke_by_sources(const std::string& root, const std::string& tokenizer,
                           const SourceSet& targets) {
  check_tokenizer(tokenizer);
  uint64_t total = 0;
  for (const auto& [number, path] : get_merged_files(root, tokenizer)) {
    auto map = mmap_file(path);
    if (!map) continue;
    std::string out;
    out.reserve(map->size());
    uint64_t count = 0;
    for_each_line(map->view(), [&](std::string_view line) {
      auto v = json::parse(line);
      if (!v) {
        // Not JSON: kept as it is, not dropped with the rewrite.
        out.append(line);
        out.push_back('\n');
        return;
      }
      std::optional<TokenIndexEntry> e = parse(line);
      if (e && matches(*e, targets)) {
        if (auto changed = with_revoked(line, !e->revoked)) {
          out.append(*changed);
          out.push_back('\n');
          ++count;
          return;
        }
      }
      json::write(out, *v);
      out.push_back('\n');
    });
    if (count == 0) continue;
    replace_merged_file(root, tokenizer, path, out);
    total += count;
  }
  return total;
}

uint64_t revoke_by_sources_fast(const std::string& root, const std::string& tokenizer,
                                const SourceSet& targets) {
  check_tokenizer(tokenizer);
  auto files = get_merged_files(root, tokenizer);
  if (files.empty()) return 0;
  FastMatcher matcher(targets);
  uint64_t total = 0;
  for (const auto& [number, path] : files) {
    auto map = mmap_file(path);
    if (!map) continue;
    std::string out;
    out.reserve(map->size() + 64);
    uint64_t count = 0;
    for_each_raw_line(map->view(), [&](std::string_view line) {
      if (matcher.is_candidate(line)) {
        std::optional<TokenIndexEntry> e = parse(line);
        if (e && matches(*e, targets)) {
          e->revoked = !e->revoked;
          out.append(to_json(*e));
          out.push_back('\n');
          ++count;
          return;
        }
      }
      out.append(line);
      out.push_back('\n');
    });
    if (count == 0) continue;
    replace_merged_file(root, tokenizer, path, out);
    total += count;
  }
  return total;
}

std::optional<uint64_t> revoke_through_index(const std::string& root, const std::string& tokenizer,
                                             const TokenBinIndex& index,
                                             const std::vector<std::string>& targets) {
  std::vector<SourceKey> keys;
  for (const std::string& t : targets) {
    if (auto k = source_key(t)) keys.push_back(*k);
  }
  const std::vector<uint32_t> found = index.lookup_by_sources(keys);
  if (found.empty()) return 0;
  auto files = merged_files_by_number(root, tokenizer);
  if (!files) return std::nullopt;

  // Every changed line, by file, in file order: (offset, length, new flag).
  struct Change {
    uint32_t offset, length;
    bool flag;
    uint64_t new_length = 0;
  };
  std::map<uint16_t, std::vector<Change>> changes;
  for (uint32_t i : found) {
    std::optional<EntryRef> ref = index.get_entry_ref(i);
    if (!ref) return std::nullopt;
    changes[ref->file_number].push_back({ref->offset, ref->length, !ref->revoked});
  }

  // All new contents are made before anything is written: a line that is
  // not where the index says leaves every file as it was.
  std::vector<std::pair<std::string, std::string>> rewrites;
  for (auto& [number, list] : changes) {
    auto path = files->find(number);
    if (path == files->end()) return std::nullopt;
    auto map = mmap_file(path->second);
    if (!map) return std::nullopt;
    const std::string_view bytes = map->view();
    std::sort(list.begin(), list.end(), [](const Change& a, const Change& b) { return a.offset < b.offset; });
    std::string out;
    out.reserve(bytes.size() + list.size());
    uint64_t copied = 0;
    for (Change& c : list) {
      const uint64_t end = uint64_t{c.offset} + c.length;
      if (c.offset < copied || end > bytes.size() || (c.offset > 0 && bytes[c.offset - 1] != '\n') ||
          (end < bytes.size() && bytes[end] != '\n')) {
        return std::nullopt;
      }
      const std::string_view line = bytes.substr(c.offset, c.length);
      if (!parse(line)) return std::nullopt;
      std::optional<std::string> changed = with_revoked(line, c.flag);
      if (!changed) return std::nullopt;
      out.append(bytes.substr(copied, c.offset - copied));
      out.append(*changed);
      c.new_length = changed->size();
      copied = end;
    }
    out.append(bytes.substr(copied));
    rewrites.emplace_back(path->second, std::move(out));
  }
  // The new index is the old one with the changed entries' flags and
  // lengths, and every later line's offset in a rewritten file moved by the
  // growth of the changed lines before it; the source records stay.
  // growth[f][k]: how much the first k changed lines of file f grew.
  std::map<uint16_t, std::vector<int64_t>> growth;
  for (const auto& [number, list] : changes) {
    std::vector<int64_t>& g = growth[number];
    g.push_back(0);
    for (const Change& c : list) g.push_back(g.back() + static_cast<int64_t>(c.new_length) - c.length);
  }
  std::string patched(index.bytes());
  bool fits = true;
  for (uint32_t i = 0; i < index.entry_count() && fits; ++i) {
    std::optional<EntryRef> ref = index.get_entry_ref(i);
    if (!ref) return std::nullopt;
    auto list = changes.find(ref->file_number);
    if (list == changes.end()) continue;
    const std::vector<Change>& sorted = list->second;
    const auto at = std::lower_bound(sorted.begin(), sorted.end(), ref->offset,
                               [](const Change& c, uint32_t offset) { return c.offset < offset; });
    const int64_t shift = growth[ref->file_number][static_cast<size_t>(at - sorted.begin())];
    const uint64_t offset = static_cast<uint64_t>(int64_t{ref->offset} + shift);
    uint64_t length = ref->length;
    bool flag = ref->revoked;
    if (at != list->second.end() && at->offset == ref->offset) {
      length = at->new_length;
      flag = at->flag;
    }
    fits = offset <= UINT32_MAX && length <= UINT32_MAX;
    index_entry_patch(patched, i, static_cast<uint32_t>(offset), static_cast<uint32_t>(length), flag);
  }
  for (const auto& [path, content] : rewrites) replace_merged_file(root, tokenizer, path, content);
  // The merged lines now hold the new flags; an index describing them is
  // fresh again.  When the moved offsets no longer fit, a full build decides
  // (and leaves no index when it cannot make one; readers scan).
  try {
    if (fits) {
      write_binary_index(root, tokenizer, patched);
    } else {
      build_binary_index(root, tokenizer);
    }
  } catch (const Error&) {
  }
  return found.size();
}

std::vector<TokenIndexEntry> find_entries_by_sources_fast(const std::string& root,
                                                          const std::string& tokenizer,
                                                          const SourceSet& targets) {
  check_tokenizer(tokenizer);
  std::vector<TokenIndexEntry> out;
  FastMatcher matcher(targets);
  if (matcher.empty()) return out;
  for (const auto& [number, path] : get_merged_files(root, tokenizer)) {
    auto map = mmap_file(path);
    if (!map) continue;
    for_each_line(map->view(), [&](std::string_view line) {
      if (!matcher.is_candidate(line)) return;
      std::optional<TokenIndexEntry> e = parse(line);
      if (e && matches(*e, targets)) out.push_back(std::move(*e));
    });
  }
  return out;
}

std::optional<std::vector<TokenIndexEntry>> read_entries_through_index(
    const std::string& root, const std::string& tokenizer, const TokenBinIndex& index,
    const std::vector<uint32_t>& indices, bool active_only) {
  std::vector<TokenIndexEntry> out;
  if (indices.empty()) return out;
  auto files = merged_files_by_number(root, tokenizer);
  if (!files) return std::nullopt;
  std::map<uint16_t, std::optional<Mapping>> maps;
  for (uint32_t i : indices) {
    std::optional<EntryRef> ref = index.get_entry_ref(i);
    if (!ref) return std::nullopt;
    if (active_only && ref->revoked) continue;
    auto slot = maps.find(ref->file_number);
    if (slot == maps.end()) {
      auto path = files->find(ref->file_number);
      if (path == files->end()) return std::nullopt;
      slot = maps.emplace(ref->file_number, mmap_file(path->second)).first;
    }
    if (!slot->second) return std::nullopt;
    const std::string_view bytes = slot->second->view();
    if (uint64_t{ref->offset} + ref->length > bytes.size()) return std::nullopt;
    std::optional<TokenIndexEntry> e = parse(bytes.substr(ref->offset, ref->length));
    if (!e) return std::nullopt;
    out.push_back(std::move(*e));
  }
  return out;
}

std::string generate_forget_set_fast(const std::string& root, const std::string& tokenizer) {
  std::string out;
  uint64_t i = 0;
  walk_merged_entries(root, tokenizer, [&](uint64_t, uint64_t, std::string_view, TokenIndexEntry&& e) {
    if (i % 8 == 0) out.push_back('\0');
    if (e.revoked) out.back() = static_cast<char>(out.back() | (1 << (i % 8)));
    ++i;
  });
  return out;
}

std::string generate_forget_set(const std::string& root, const std::string& tokenizer) {
  check_tokenizer(tokenizer);
  if (auto index = open_fresh(root, tokenizer)) return index->generate_forget_set();
  return generate_forget_set_fast(root, tokenizer);
}

void write_forget_set(const std::string& path, std::string_view bytes) {
  if (path.find('\0') != std::string::npos) throw Error("forget-set path holds a NUL byte");
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    throw Error("writing forget set " + quote_path(path) + ": not a regular file");
  }
  vl::replace_file(path, bytes, Durability::Sync);
}

}  // namespace vl::token_index
