#include "track.hpp"

#include "hash.hpp"
#include "indexer.hpp"
#include "token_index.hpp"

namespace vl {

std::string track(const std::string& root, const json::Value& data, const std::string& file,
                  const std::vector<std::string>& sources, std::optional<uint64_t> token_count,
                  const std::optional<std::string>& tokenizer) {
  if (tokenizer) token_index::check_tokenizer(*tokenizer);
  std::string line_hash = compute_hash(data);
  documents::index_document(root, line_hash, file, sources, "track");
  if (tokenizer && token_count) token_index::write_pid(root, *tokenizer, *token_count, sources);
  return line_hash;
}

}  // namespace vl
