// JSONL files and hash-sharded record layers.
//
// A layer is a directory under .vl; a record lives in the shard file named by
// the first two characters of its key hash (.vl/<layer>/<xx>).  Files are
// only appended to, one write request per line, or read whole.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "json.hpp"
#include "layout.hpp"

namespace vl {

using layout::is_shard_file_name;
using layout::shard_name;
using layout::shard_path;
using layout::store_dir;

// Every value of the file in file order; invalid lines are skipped.  A
// missing or empty file gives an empty list.
std::vector<json::Value> jsonl_read(const std::string& path);

// The same values handed one at a time to fn(json::Value&&) on the calling
// thread, so that a caller converting them need not hold them all.
void jsonl_for_each(const std::string& path, const std::function<void(json::Value&&)>& fn);

// Appends the canonical text of `value` and LF in one write request,
// creating the file (not its directory).
void jsonl_append(const std::string& path, const json::Value& value);

// Appends `line` (which must end with LF) in one write request, creating the
// file (not its directory).
void append_line(const std::string& path, std::string_view line);

// The values of every shard file (a regular file whose name is two hex
// digits) of the layer, files in directory-listing order.  A missing layer
// gives an empty list.
std::vector<json::Value> shard_iterate_all(std::string_view root, std::string_view layer);

// The shard files of a layer (regular files whose names are two hex digits)
// in directory-listing order; a missing layer has none.
std::vector<std::string> shard_files(std::string_view root, std::string_view layer);

// The values of the lines that contain at least one of `patterns` as a byte
// substring; other lines are not parsed.
std::vector<json::Value> scan_lines_matching(const std::string& path,
                                             const std::vector<std::string>& patterns);

}  // namespace vl
