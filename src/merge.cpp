#include "merge.hpp"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "clean.hpp"
#include "error.hpp"
#include "fs.hpp"
#include "index.hpp"
#include "json.hpp"
#include "layout.hpp"
#include "mmap_lines.hpp"
#include "oplog.hpp"
#include "storage.hpp"
#include "token_index.hpp"

namespace vl::merge {

namespace {

// Pending appends to one layer of the target, grouped by shard, written
// one request per shard and flushed before they grow large, so memory
// stays bounded whatever the size of the source.
class ShardAppends {
 public:
  ShardAppends(const std::string& root, std::string_view layer) : root_(root), layer_(layer) {}
  void add(std::string_view shard, std::string_view line) {
    std::string& buf = pending_[std::string(shard)];
    buf.append(line);
    buf.push_back('\n');
    size_ += line.size() + 1;
    if (size_ >= kFlushBytes) flush();
  }
  void flush() {
    for (auto& [shard, lines] : pending_) {
      append_line(layout::shard_path(root_, layer_, shard), lines);
    }
    pending_.clear();
    size_ = 0;
  }

 private:
  static constexpr size_t kFlushBytes = size_t{4} << 20;
  const std::string& root_;
  std::string_view layer_;
  std::map<std::string, std::string> pending_;
  size_t size_ = 0;
};

// A set of identities held compactly: their bytes one after another in one
// arena, and an open-addressing table of (hash, offset) slots, so that a
// million identities cost their bytes and a few words each rather than a
// heap node and a string apiece.
class IdentitySet {
 public:
  // Adds `key`; false when it was there already.
  bool insert(std::string_view key) {
    if ((count_ + 1) * 2 > slots_.size()) grow();
    uint64_t h = hash(key);
    size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (s.offset == 0) {
        s.hash = h;
        s.offset = arena_.size() + 1;
        uint32_t len = static_cast<uint32_t>(key.size());
        arena_.append(reinterpret_cast<const char*>(&len), sizeof len);
        arena_.append(key);
        ++count_;
        return true;
      }
      if (s.hash == h && stored(s) == key) return false;
    }
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    uint64_t offset = 0;  // into the arena, plus one; 0 for an empty slot
  };
  static uint64_t hash(std::string_view key) {
    // FNV-1a over 8-byte words, then a final mix: cheap and well spread for
    // keys that are mostly hexadecimal hashes.
    uint64_t h = 1469598103934665603ULL ^ key.size();
    size_t i = 0;
    for (; i + 8 <= key.size(); i += 8) {
      uint64_t w;
      __builtin_memcpy(&w, key.data() + i, 8);
      h = (h ^ w) * 1099511628211ULL;
    }
    for (; i < key.size(); ++i) h = (h ^ static_cast<unsigned char>(key[i])) * 1099511628211ULL;
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    return h;
  }
  std::string_view stored(const Slot& s) const {
    uint32_t len;
    __builtin_memcpy(&len, arena_.data() + s.offset - 1, sizeof len);
    return std::string_view(arena_).substr(s.offset - 1 + sizeof len, len);
  }
  void grow() {
    std::vector<Slot> old(slots_.empty() ? 1024 : slots_.size() * 2);
    old.swap(slots_);
    size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.offset == 0) continue;
      size_t i = s.hash & mask;
      while (slots_[i].offset != 0) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::string arena_;
  std::vector<Slot> slots_;
  size_t count_ = 0;
};

// Calls fn(raw line, value) for every line of every shard file of the
// layer that parses as JSON, files in listing order, lines in file order.
template <typename Fn>
void walk_layer(const std::string& root, std::string_view layer, Fn&& fn) {
  for (const std::string& path : shard_files(root, layer)) {
    auto map = mmap_file(path);
    if (!map) continue;
    for_each_line(map->view(), [&](std::string_view line) {
      if (auto v = json::parse(line)) fn(line, *v);
    });
  }
}

const std::string* string_field(const json::Value& v, std::string_view key) {
  const json::Value* f = v.find(key);
  return f ? f->as_string() : nullptr;
}

bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

// Appends a self-delimiting form of `text` to `out`: 64 lowercase hex
// digits (the store's own hashes) as their 32 bytes after a tag byte 1,
// any other text as tag 0, its length and its bytes.
void encode(std::string& out, std::string_view text) {
  if (text.size() == 64 && std::all_of(text.begin(), text.end(), is_lower_hex)) {
    out.push_back('\1');
    for (size_t i = 0; i < 64; i += 2) {
      auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'a' + 10; };
      out.push_back(static_cast<char>(nibble(text[i]) << 4 | nibble(text[i + 1])));
    }
    return;
  }
  out.push_back('\0');
  uint32_t len = static_cast<uint32_t>(text.size());
  out.append(reinterpret_cast<const char*>(&len), sizeof len);
  out.append(text);
}

// The identity of a layer's record, written into *id, and the key that
// names its shard; nothing when the record has no identity.
struct LayerIdentity {
  std::string_view key_field;
  bool with_file;  // documents: the pair (line_hash, file)

  const std::string* operator()(const json::Value& v, std::string* id) const {
    const std::string* key = string_field(v, key_field);
    if (!key) return nullptr;
    id->clear();
    encode(*id, *key);
    if (with_file) {
      const std::string* file = string_field(v, "file");
      if (!file) return nullptr;
      id->append(*file);
    }
    return key;
  }
};

// Copies the layer's records whose identity the target lacks, counting
// them in *added and the others in *skipped.
void merge_layer(const std::string& source, const std::string& target, std::string_view layer,
                 const LayerIdentity& identity, uint64_t* skipped, uint64_t* added) {
  IdentitySet known;
  std::string id;
  walk_layer(target, layer, [&](std::string_view, const json::Value& v) {
    if (identity(v, &id)) known.insert(id);
  });
  ShardAppends appends(target, layer);
  walk_layer(source, layer, [&](std::string_view line, const json::Value& v) {
    const std::string* key = identity(v, &id);
    if (!key || !clean::names_shard(*key) || !known.insert(id)) {
      ++*skipped;
      return;
    }
    appends.add(std::string_view(*key).substr(0, 2), line);
    ++*added;
  });
  appends.flush();
}

// The multiset key of a token entry.
std::string triple(const token_index::TokenIndexEntry& e) {
  std::vector<std::string_view> sources(e.sources.begin(), e.sources.end());
  std::sort(sources.begin(), sources.end());
  std::string key = std::to_string(e.token_count);
  for (std::string_view s : sources) {
    key.push_back(' ');
    key.append(std::to_string(s.size()));
    key.push_back(':');
    key.append(s);
  }
  key.push_back(' ');
  key.append(e.tokenizer);
  return key;
}

// Copies the tokenizer's entries beyond those the target holds into one
// new merged file of the target.
void merge_tokens(const std::string& source, const std::string& target,
                  const std::string& tokenizer, MergeCounts* counts) {
  using token_index::TokenIndexEntry;
  token_index::check_tokenizer(tokenizer);
  std::unordered_map<std::string, uint64_t> held;
  token_index::walk_merged_entries(target, tokenizer,
                                   [&](uint64_t, uint64_t, std::string_view, TokenIndexEntry&& e) {
                                     ++held[triple(e)];
                                   });

  std::string dir = layout::token_merged_dir(target, tokenizer);
  create_dir_all(dir);
  uint64_t next = 1;
  for (const DirEntry& e : list_dir(dir)) {
    if (auto n = layout::parse_merged_number(e.name)) next = std::max(next, *n + 1);
  }

  Fd file;
  std::string out;
  auto open_new_file = [&] {
    // No reader may trust the binary index once a merged file is added.
    token_index::drop_binary_index(target, tokenizer);
    // Created exclusively: a number taken meanwhile moves us to the next.
    for (;; ++next) {
      try {
        file = Fd::create_exclusive(join(dir, layout::merged_file_name(next)));
        return;
      } catch (const Error& e) {
        if (e.os_errno() != EEXIST) throw;
      }
    }
  };
  // The source's merged files are listed before anything is written, so a
  // merge of a store into itself never reads its own new file (and has
  // nothing to write in any case).
  token_index::walk_merged_entries(
      source, tokenizer, [&](uint64_t, uint64_t, std::string_view, TokenIndexEntry&& e) {
        auto it = held.find(triple(e));
        if (it != held.end() && it->second > 0) {
          --it->second;
          ++counts->skipped;
          return;
        }
        if (!file) open_new_file();
        out.append(token_index::to_json(e));
        out.push_back('\n');
        ++counts->token_index_added;
        if (out.size() >= (size_t{4} << 20)) {
          file.write_all(out);
          out.clear();
        }
      });
  if (!file) return;
  file.write_all(out);
  file.close();
}

uint64_t records_added(const MergeCounts& c) {
  return c.authors_added + c.sections_added + c.document_added;
}

}  // namespace

MergeCounts absorb(const std::string& source, const std::string& target) {
  if (!is_dir(layout::store_dir(source))) throw Error("Source has no .vl/ directory: " + source);
  MergeCounts c;
  try {
    merge_layer(source, target, layout::kAuthors, {"id", false}, &c.skipped, &c.authors_added);
    merge_layer(source, target, layout::kSections, {"section_hash", false}, &c.skipped,
                &c.sections_added);
    merge_layer(source, target, layout::kDocumentIndex, {"line_hash", true}, &c.skipped,
                &c.document_added);
    for (const std::string& tokenizer : token_index::list_tokenizers(source)) {
      merge_tokens(source, target, tokenizer, &c);
    }
  } catch (const Error&) {
    // Records already appended must be findable through the index.
    if (records_added(c) > 0) {
      try {
        index::build_index(target);
      } catch (const Error&) {
        // The merge's own error is the one to report.
      }
    }
    throw;
  }

  std::optional<Error> rebuild_error;
  if (records_added(c) > 0) {
    try {
      index::build_index(target);
    } catch (Error& e) {
      rebuild_error = std::move(e);
    }
  }
  std::string detail = "source=" + source + " authors=" + std::to_string(c.authors_added) +
                       " sections=" + std::to_string(c.sections_added) +
                       " document=" + std::to_string(c.document_added) +
                       " token_index=" + std::to_string(c.token_index_added) +
                       " skipped=" + std::to_string(c.skipped);
  oplog::append(target, "merge", detail);
  if (rebuild_error) {
    std::string cause = rebuild_error->message();
    throw std::move(*rebuild_error)
        .context("records were merged, but rebuilding the target's index failed: " + cause +
                 " (run `vl index build`)");
  }
  return c;
}

}  // namespace vl::merge
