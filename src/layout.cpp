#include "layout.hpp"

#include <algorithm>
#include <cstdio>

#include "error.hpp"
#include "fs.hpp"

namespace vl::layout {

namespace {

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool all_digits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Decimal digits only, without overflow.
std::optional<uint64_t> parse_decimal(std::string_view s) {
  if (!all_digits(s)) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    auto d = static_cast<uint64_t>(c - '0');
    if (v > (UINT64_MAX - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

bool starts_with(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

constexpr std::string_view kDocIdxPrefix = "docidx.";
constexpr std::string_view kPurgePrefix = "purge.";
constexpr std::string_view kStagingPrefix = "merging.";

}  // namespace

std::string store_dir(std::string_view root) { return join(root, ".vl"); }

std::string layer_dir(std::string_view root, std::string_view layer) {
  return join(store_dir(root), layer);
}

std::string_view shard_name(std::string_view hash) {
  bool whole = hash.size() == 2 ||
               (hash.size() > 2 && (static_cast<unsigned char>(hash[2]) & 0xC0) != 0x80);
  if (!whole) {
    throw Error("invalid hash " + quote_path(hash) +
                ": a shard name needs at least two whole characters");
  }
  return hash.substr(0, 2);
}

std::string shard_name_of(uint8_t byte) {
  static constexpr char kHex[] = "0123456789abcdef";
  return {kHex[byte >> 4], kHex[byte & 15]};
}

std::string shard_path(std::string_view root, std::string_view layer, std::string_view hash) {
  std::string_view name = shard_name(hash);
  return join(layer_dir(root, layer), name);
}

std::string shard_path_of(std::string_view root, std::string_view layer, uint8_t byte) {
  return join(layer_dir(root, layer), shard_name_of(byte));
}

bool is_shard_file_name(std::string_view name) {
  return name.size() == 2 && is_hex(name[0]) && is_hex(name[1]);
}

std::string revoked_documents(std::string_view root) {
  return join(join(layer_dir(root, kDocumentIndex), "revoked"), "all");
}

std::string index_bin(std::string_view root) { return join(store_dir(root), "index.bin"); }
std::string log_file(std::string_view root) { return join(store_dir(root), "log"); }
std::string rotated_log_file(std::string_view root) { return join(store_dir(root), "log.1"); }
std::string split_dir(std::string_view root) { return join(store_dir(root), "split"); }
std::string archive_dir(std::string_view root) { return join(store_dir(root), "archive"); }

std::string purge_archive(std::string_view root, std::string_view timestamp) {
  return join(archive_dir(root), std::string(kPurgePrefix) + std::string(timestamp));
}

std::string layer_archive(std::string_view root, std::string_view layer, std::string_view shard) {
  return join(archive_dir(root), std::string(layer) + "." + std::string(shard));
}

std::string docidx_file(std::string_view root, std::string_view suffix) {
  return join(store_dir(root), std::string(kDocIdxPrefix) + std::string(suffix));
}

std::string token_pid_file(std::string_view root, std::string_view tokenizer, uint64_t pid) {
  return join(store_dir(root),
              std::string(kTokenPrefix) + std::string(tokenizer) + "." + std::to_string(pid));
}

std::string token_merged_dir(std::string_view root, std::string_view tokenizer) {
  return join(store_dir(root), std::string(kTokenPrefix) + std::string(tokenizer));
}

std::string token_bin_index(std::string_view root, std::string_view tokenizer) {
  return join(store_dir(root), std::string(kTokenPrefix) + std::string(tokenizer) + ".bin");
}

std::string merged_file_name(uint64_t number) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%03llu", static_cast<unsigned long long>(number));
  return buf;
}

std::optional<uint64_t> parse_merged_number(std::string_view name) {
  if (!name.empty() && name[0] == '+') name.remove_prefix(1);
  return parse_decimal(name);
}

std::string staging_name(uint64_t pid, uint64_t sequence) {
  return std::string(kStagingPrefix) + std::to_string(pid) + "." + std::to_string(sequence);
}

std::string fold_name(std::string_view staging) {
  return "." + std::string(staging) + ".fold";
}

std::string temporary_path(std::string_view target, uint64_t pid, uint64_t sequence) {
  size_t slash = target.rfind('/');
  std::string_view dir = slash == std::string_view::npos ? std::string_view() : target.substr(0, slash + 1);
  std::string_view name = slash == std::string_view::npos ? target : target.substr(slash + 1);
  std::string out(dir);
  out += '.';
  out += name;
  out += ".tmp.";
  out += std::to_string(pid);
  out += '.';
  out += std::to_string(sequence);
  return out;
}

Entry parse_store_entry(std::string_view name, bool is_dir) {
  Entry e;
  if (starts_with(name, ".")) {
    e.kind = Kind::Temporary;
    return e;
  }
  if (is_dir) {
    for (std::string_view layer : kLayers) {
      if (name == layer) {
        e.kind = Kind::Layer;
        e.layer = std::string(layer);
        return e;
      }
    }
    if (name == "archive") {
      e.kind = Kind::ArchiveDir;
    } else if (name == "split") {
      e.kind = Kind::SplitDir;
    } else if (starts_with(name, kTokenPrefix) && name.size() > kTokenPrefix.size()) {
      e.kind = Kind::TokenMergedDir;
      e.tokenizer = std::string(name.substr(kTokenPrefix.size()));
    }
    return e;
  }
  if (name == "index.bin") {
    e.kind = Kind::IndexBin;
  } else if (name == "log") {
    e.kind = Kind::Log;
  } else if (name == "log.1") {
    e.kind = Kind::RotatedLog;
  } else if (starts_with(name, kDocIdxPrefix)) {
    std::string_view suffix = name.substr(kDocIdxPrefix.size());
    if (!is_shard_file_name(suffix)) {
      e.kind = Kind::DocIdx;
      e.suffix = std::string(suffix);
    }
  } else if (starts_with(name, kTokenPrefix)) {
    // token-index.<tokenizer>.<rest>: the tokenizer name may itself hold
    // dots, so the rest is what follows the last one.
    std::string_view rest = name.substr(kTokenPrefix.size());
    size_t dot = rest.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return e;
    e.tokenizer = std::string(rest.substr(0, dot));
    std::string_view suffix = rest.substr(dot + 1);
    e.suffix = std::string(suffix);
    if (suffix == "bin") {
      e.kind = Kind::TokenBinIndex;
    } else if (auto pid = parse_decimal(suffix)) {
      e.kind = Kind::TokenPidFile;
      e.number = *pid;
    } else {
      e.kind = Kind::TokenOther;
    }
  }
  return e;
}

Entry parse_layer_entry(std::string_view name) {
  Entry e;
  if (starts_with(name, ".")) {
    e.kind = Kind::Temporary;
  } else if (is_shard_file_name(name)) {
    e.kind = Kind::Shard;
    e.shard = std::string(name);
  }
  return e;
}

Entry parse_merged_entry(std::string_view name) {
  Entry e;
  if (starts_with(name, ".")) {
    e.kind = Kind::Temporary;
  } else if (auto n = parse_merged_number(name)) {
    e.kind = Kind::MergedFile;
    e.number = *n;
  } else if (starts_with(name, kStagingPrefix)) {
    std::string_view rest = name.substr(kStagingPrefix.size());
    size_t dot = rest.find('.');
    if (dot == std::string_view::npos) return e;
    auto pid = parse_decimal(rest.substr(0, dot));
    auto seq = parse_decimal(rest.substr(dot + 1));
    if (!pid || !seq) return e;
    e.kind = Kind::Staging;
    e.number = *pid;
    e.sequence = *seq;
  }
  return e;
}

Entry parse_archive_entry(std::string_view name) {
  Entry e;
  if (starts_with(name, ".")) {
    e.kind = Kind::Temporary;
  } else if (starts_with(name, kPurgePrefix)) {
    e.kind = Kind::PurgeArchive;
    e.suffix = std::string(name.substr(kPurgePrefix.size()));
  } else {
    size_t dot = name.rfind('.');
    if (dot != std::string_view::npos && is_shard_file_name(name.substr(dot + 1)) && dot > 0) {
      e.kind = Kind::LayerArchive;
      e.layer = std::string(name.substr(0, dot));
      e.shard = std::string(name.substr(dot + 1));
    }
  }
  return e;
}

}  // namespace vl::layout
