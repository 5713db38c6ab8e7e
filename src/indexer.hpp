// The document index: for every tracked line of data, the line's hash, the
// data file it is in and the sections it derives from, stored in the shards
// of .vl/document-index.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "json.hpp"

namespace vl::documents {

struct DocumentRecord {
  std::string line_hash;
  std::string file;
  std::vector<std::string> sources;
};

// A stored line as a document record, if it is one (revoked, source_type and
// other keys are ignored).
std::optional<DocumentRecord> parse(std::string_view line);

// Appends one stored line {file, line_hash, revoked: false, source_type,
// sources} to the shard of line_hash, used exactly as given.
void index_document(const std::string& root, const std::string& line_hash, const std::string& file,
                    const std::vector<std::string>& sources, const std::string& source_type);

// The records stored under line_hash, in file order, revoked ones included.
std::vector<DocumentRecord> lookup_document(const std::string& root, const std::string& line_hash);

// Every stored line of the layer that is a document record, with all its keys.
std::vector<json::Value> read_all_documents(const std::string& root);

}  // namespace vl::documents
