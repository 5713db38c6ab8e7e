// Tracking a data line: hash its JSON value, record it in the document index
// and, given a tokenizer and a token count, in this process's token file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "json.hpp"

namespace vl {

// Returns the line hash.  The token entry is written only when both the
// tokenizer and the token count are given; a tokenizer name that is not
// usable in a file name is refused before anything is written.
std::string track(const std::string& root, const json::Value& data, const std::string& file,
                  const std::vector<std::string>& sources, std::optional<uint64_t> token_count,
                  const std::optional<std::string>& tokenizer);

}  // namespace vl
