#include "merge.hpp"

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
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

// Pending appends to the target's shards, written one request per shard
// and flushed before they grow large, so memory stays bounded whatever
// the size of the source.
class ShardAppends {
 public:
  void add(const std::string& path, std::string_view line) {
    std::string& buf = pending_[path];
    buf.append(line);
    buf.push_back('\n');
    size_ += line.size() + 1;
    if (size_ >= kFlushBytes) flush();
  }
  void flush() {
    for (auto& [path, lines] : pending_) append_line(path, lines);
    pending_.clear();
    size_ = 0;
  }

 private:
  static constexpr size_t kFlushBytes = size_t{4} << 20;
  std::map<std::string, std::string> pending_;
  size_t size_ = 0;
};

// Calls fn(raw line, value) for every line of every shard file of the
// layer that parses as JSON, files in listing order, lines in file order.
void walk_layer(const std::string& root, std::string_view layer,
                const std::function<void(std::string_view, const json::Value&)>& fn) {
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

// The identity of a layer's record and the key that names its shard;
// nothing when it has none that can name a shard.
using IdentityOf = std::function<std::optional<std::string>(const json::Value&, const std::string** key)>;

std::optional<std::string> single_key(const json::Value& v, std::string_view field,
                                      const std::string** key) {
  const std::string* k = string_field(v, field);
  if (!k) return std::nullopt;
  *key = k;
  return *k;
}

std::optional<std::string> document_key(const json::Value& v, const std::string** key) {
  const std::string* hash = string_field(v, "line_hash");
  const std::string* file = string_field(v, "file");
  if (!hash || !file) return std::nullopt;
  *key = hash;
  // Length-prefixed, so that no two pairs give one text.
  std::string id = std::to_string(hash->size());
  id.push_back(':');
  id.append(*hash);
  id.append(*file);
  return id;
}

// Copies the layer's records whose identity the target lacks; returns the
// number added and adds the rest to *skipped.
void merge_layer(const std::string& source, const std::string& target, std::string_view layer,
                     const IdentityOf& identity, uint64_t* skipped, uint64_t* added) {
  std::unordered_set<std::string> known;
  walk_layer(target, layer, [&](std::string_view, const json::Value& v) {
    const std::string* key = nullptr;
    if (auto id = identity(v, &key)) known.insert(std::move(*id));
  });
  ShardAppends appends;
  walk_layer(source, layer, [&](std::string_view line, const json::Value& v) {
    const std::string* key = nullptr;
    auto id = identity(v, &key);
    if (!id || !clean::names_shard(*key) || !known.insert(std::move(*id)).second) {
      ++*skipped;
      return;
    }
    appends.add(layout::shard_path(target, layer, *key), line);
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
    merge_layer(source, target, layout::kAuthors,
                [](const json::Value& v, const std::string** k) { return single_key(v, "id", k); },
                &c.skipped, &c.authors_added);
    merge_layer(source, target, layout::kSections,
                [](const json::Value& v, const std::string** k) {
                  return single_key(v, "section_hash", k);
                },
                &c.skipped, &c.sections_added);
    merge_layer(source, target, layout::kDocumentIndex, document_key, &c.skipped, &c.document_added);
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
