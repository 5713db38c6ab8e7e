// Tracking a data line: hash its JSON value, record it in the document index
// and, given a tokenizer and a token count, in this process's token file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vl {

// `data_json` is the data's JSON text (one value).  Returns the line hash.
// The token entry is written only when both the tokenizer and the token
// count are given; text that is not one JSON value, and a tokenizer name
// that is not usable in a file name, are refused before anything is written.
std::string track(const std::string& root, std::string_view data_json, const std::string& file,
                  const std::vector<std::string>& sources, std::optional<uint64_t> token_count,
                  const std::optional<std::string>& tokenizer);

}  // namespace vl
