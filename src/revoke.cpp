#include "revoke.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <unordered_set>
#include <vector>

#include "authors.hpp"
#include "error.hpp"
#include "fs.hpp"
#include "generate_set.hpp"
#include "json.hpp"
#include "layout.hpp"
#include "oplog.hpp"
#include "show.hpp"
#include "storage.hpp"

namespace vl::revoke {

namespace {

using json::Value;

bool revoked_flag(const Value& record) {
  const Value* v = record.find("revoked");
  const bool* b = v ? v->as_bool() : nullptr;
  return b && *b;
}

// Sets "revoked" on an object, keeping its members in key order.
void set_revoked(Value& record, bool state) {
  json::Object* members = record.as_object();
  auto it = members->begin();
  while (it != members->end() && it->first < "revoked") ++it;
  if (it != members->end() && it->first == "revoked") {
    it->second = Value::boolean(state);
  } else {
    members->insert(it, json::Member("revoked", Value::boolean(state)));
  }
}

bool string_field_is(const Value& record, std::string_view key, std::string_view want) {
  const Value* v = record.find(key);
  const std::string* s = v ? v->as_string() : nullptr;
  return s && *s == want;
}

struct Toggled {
  bool present = false;  // the shard exists
  uint64_t count = 0;    // records toggled
};

// Toggles every record of the shard that `matches` accepts to one new state,
// the opposite of the first match's; rewrites the shard when `rewrite`
// says so for the count found.
template <typename Matches, typename Rewrite>
Toggled toggle_shard(const std::string& shard, Matches matches,
                     Rewrite rewrite) {
  Toggled t;
  struct stat st;
  if (::stat(shard.c_str(), &st) != 0) return t;
  t.present = true;
  std::vector<Value> records = jsonl_read(shard);
  std::optional<bool> state;
  for (Value& r : records) {
    if (!r.as_object() || !matches(r)) continue;
    if (!state) state = !revoked_flag(r);
    set_revoked(r, *state);
    ++t.count;
  }
  if (!rewrite(t.count)) return t;
  std::string content;
  for (const Value& r : records) {
    json::write(content, r);
    content.push_back('\n');
  }
  // Never truncated in place: readers may have the shard mapped.
  replace_file(shard, content, Durability::Sync);
  return t;
}

}  // namespace

uint64_t revoke_section(const std::string& root, const std::string& section_hash, bool reverse) {
  std::string shard = layout::shard_path(root, layout::kSections, section_hash);
  Toggled t = toggle_shard(
      shard, [&](const Value& r) { return string_field_is(r, "section_hash", section_hash); },
      [](uint64_t count) { return count > 0; });
  if (!t.present) return 0;
  oplog::append(root, reverse ? "revoke_reverse_section" : "revoke_section",
                section_hash + " (" + std::to_string(t.count) + " sections toggled)");
  return t.count;
}

uint64_t revoke_manifest(const std::string& root, const std::string& line_hash,
                         const std::string& file, bool reverse) {
  std::string shard = layout::shard_path(root, layout::kDocumentIndex, line_hash);
  Toggled t = toggle_shard(
      shard,
      [&](const Value& r) {
        return string_field_is(r, "line_hash", line_hash) && string_field_is(r, "file", file);
      },
      [](uint64_t) { return true; });
  if (!t.present) return 0;
  // The first twelve characters, cut at a character boundary.
  size_t cut = 0;
  for (size_t chars = 0; cut < line_hash.size() && chars < 12; ++chars) {
    ++cut;
    while (cut < line_hash.size() && (static_cast<unsigned char>(line_hash[cut]) & 0xC0) == 0x80) ++cut;
  }
  oplog::append(root, reverse ? "revoke_reverse_manifest" : "revoke_manifest",
                "line_hash=" + line_hash.substr(0, cut) + " file=" + file + " (" +
                    std::to_string(t.count) + " toggled)");
  return t.count;
}

uint64_t revoke_by_author(const std::string& root, const std::string& author_name, bool reverse) {
  std::vector<authors::Author> found = authors::query(root, author_name, std::nullopt);
  if (found.empty()) return 0;
  // An author registered twice comes back twice; each id is toggled once.
  std::unordered_set<std::string> seen;
  uint64_t total = 0;
  for (const authors::Author& a : found) {
    if (!seen.insert(a.id).second) continue;
    std::string shard = layout::shard_path(root, layout::kAuthors, a.id);
    total += toggle_shard(
                 shard, [&](const Value& r) { return string_field_is(r, "id", a.id); },
                 [](uint64_t) { return true; })
                 .count;
  }
  oplog::append(root, reverse ? "revoke_reverse_author" : "revoke_author",
                author_name + " (" + std::to_string(total) + " authors toggled)");
  return total;
}

// ---- Token entries of an author ------------------------------------------

uint64_t revoke_by_author_token(const std::string& root, const std::string& author_name,
                                const std::string& tokenizer, bool reverse) {
  token_index::check_tokenizer(tokenizer);
  std::vector<std::string> ids;
  for (const authors::Author& a : authors::query(root, author_name, std::nullopt)) ids.push_back(a.id);
  if (ids.empty()) return 0;
  std::vector<std::string> sections = show::find_author_sections_parallel(root, ids);
  std::sort(sections.begin(), sections.end());
  sections.erase(std::unique(sections.begin(), sections.end()), sections.end());
  if (sections.empty()) return 0;

  std::optional<uint64_t> count;
  if (auto index = token_index::open_fresh(root, tokenizer)) {
    count = token_index::revoke_through_index(root, tokenizer, *index, sections);
  }
  if (!count) {
    token_index::SourceSet targets(sections.begin(), sections.end());
    count = token_index::revoke_by_sources_fast(root, tokenizer, targets);
  }
  oplog::append(root, reverse ? "revoke_reverse_token" : "revoke_token",
                author_name + " tokenizer=" + tokenizer + " count=" + std::to_string(*count));
  return *count;
}

}  // namespace vl::revoke
