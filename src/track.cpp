#include "track.hpp"

#include "hash.hpp"
#include "indexer.hpp"
#include "token_index.hpp"

namespace vl {

std::string track(const std::string& root, std::string_view data_json, const std::string& file,
                  const std::vector<std::string>& sources, std::optional<uint64_t> token_count,
                  const std::optional<std::string>& tokenizer) {
  std::string line_hash = content_hash_of_json_text(data_json);
  if (tokenizer) token_index::check_tokenizer(*tokenizer);
  documents::index_document(root, line_hash, file, sources, "track");
  if (tokenizer && token_count) token_index::write_pid(root, *tokenizer, *token_count, sources);
  return line_hash;
}

}  // namespace vl
