#include "indexer.hpp"

#include <algorithm>

#include "record.hpp"
#include "scan.hpp"
#include "storage.hpp"

namespace vl::documents {

static bool is_string_array(const json::Value& v) {
  const json::Array* items = v.as_array();
  return items && std::all_of(items->begin(), items->end(),
                              [](const json::Value& item) { return item.as_string() != nullptr; });
}

std::optional<DocumentRecord> parse(std::string_view line) {
  auto f = record::fields<3>(line, {"line_hash", "file", "sources"});
  if (!f) return std::nullopt;
  DocumentRecord d;
  if (!record::take((*f)[0], d.line_hash) || !record::take((*f)[1], d.file) ||
      !record::take((*f)[2], d.sources)) {
    return std::nullopt;
  }
  return d;
}

void index_document(const std::string& root, const std::string& line_hash, const std::string& file,
                    const std::vector<std::string>& sources, const std::string& source_type) {
  std::string path = shard_path(root, layout::kDocumentIndex, line_hash);
  // Keys in byte order, as the generic value would write them.
  std::string line;
  json::ObjectWriter(line)
      .field("file", file)
      .field("line_hash", line_hash)
      .field("revoked", false)
      .field("source_type", source_type)
      .field("sources", sources)
      .close();
  line.push_back('\n');
  append_line(path, line);
}

std::vector<DocumentRecord> lookup_document(const std::string& root, const std::string& line_hash) {
  scan::Options opt{.unreadable = scan::Unreadable::Fail, .run = scan::Run::Serial};
  return scan::files<DocumentRecord>(
      {shard_path(root, layout::kDocumentIndex, line_hash)}, opt,
      [&](const scan::Line& line, auto& out) {
        auto d = parse(line.text);
        if (d && d->line_hash == line_hash) out.push_back(std::move(*d));
      });
}

std::vector<json::Value> read_all_documents(const std::string& root) {
  scan::Options opt{.unreadable = scan::Unreadable::Fail, .run = scan::Run::Serial};
  return scan::files<json::Value>(
      shard_files(root, layout::kDocumentIndex), opt, [](const scan::Line& line, auto& out) {
        auto members = json::parse_members(line.text);
        if (!members) return;
        auto f = record::find_fields<3>(*members, {"line_hash", "file", "sources"});
        if (!f || !(*f)[0]->as_string() || !(*f)[1]->as_string() || !is_string_array(*(*f)[2])) return;
        out.push_back(json::Value::object(std::move(*members)));
      });
}

}  // namespace vl::documents
