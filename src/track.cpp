#include "track.hpp"

#include <optional>

#include "hash.hpp"
#include "indexer.hpp"
#include "token_index.hpp"

namespace vl {

std::string track(const std::string& root, std::string_view data_json, const std::string& file,
                  const std::vector<std::string>& sources, std::optional<uint64_t> token_count,
                  const std::optional<std::string>& tokenizer) {
  std::string line_hash = content_hash_of_json_text(data_json);
  if (tokenizer) token_index::check_tokenizer(*tokenizer);
  // The token file is opened and locked before the document record is
  // written: a retry after a failure there would record the document twice.
  std::optional<token_index::PidWriter> tokens;
  if (tokenizer && token_count) tokens.emplace(root, *tokenizer, false);
  documents::index_document(root, line_hash, file, sources, "track");
  if (tokens) tokens->append(*token_count, sources);
  return line_hash;
}

}  // namespace vl
