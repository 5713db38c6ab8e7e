// Line attribution: where a line came from, and a line diff for carrying
// attribution across edits.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "indexer.hpp"

namespace vl {

enum class OpTag { Equal, Delete, Insert, Replace };

// One difflib-style opcode: old_lines[i1:i2] becomes new_lines[j1:j2].
struct Opcode {
  OpTag tag;
  size_t i1, i2, j1, j2;
  bool operator==(const Opcode&) const = default;
};

// The document records of a line of content: the line is hashed as the JSON
// value it holds, or as a JSON string of its text when it is not one JSON
// text.  `file` is accepted for the caller's sake and does not narrow the
// result.
std::vector<documents::DocumentRecord> blame(const std::string& root, const std::string& file,
                                             const std::string& line_content);

// "equal", "delete", "insert" or "replace".
const char* op_tag_name(OpTag tag);

// The line diff of two versions of a file, lines compared as exact strings:
// divide-and-conquer Myers without a time limit, compacted and grouped into
// opcodes that chain from (0, 0) to (old size, new size).
//
// A long search asks `interrupted` every few milliseconds whether the caller
// wants it stopped; when it answers true, the diff throws Interrupted.
//
// Lines are compared through small integer ids given to them once, so the
// views must stay valid for the call only.
std::vector<Opcode> blame_diff(std::span<const std::string_view> old_lines,
                               std::span<const std::string_view> new_lines,
                               const std::function<bool()>& interrupted = {});
std::vector<Opcode> blame_diff(const std::vector<std::string>& old_lines,
                               const std::vector<std::string>& new_lines,
                               const std::function<bool()>& interrupted = {});

// Thrown by an operation that its caller asked to stop.
struct Interrupted {};

}  // namespace vl
