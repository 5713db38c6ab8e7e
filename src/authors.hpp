// Authors: people who contribute content, identified by the content hash of
// their name and e-mail address, stored one record per registration in the
// shards of .vl/authors.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vl::authors {

struct Author {
  std::string id;
  std::string name;
  std::string email;
  bool revoked = false;
};

// The content hash of {"email": email, "name": name}.
std::string author_id(std::string_view name, std::string_view email);

// The record as compact JSON in field order: id, name, email, revoked.
std::string to_json(const Author& a);

// A stored line as an author record, if it is one.
std::optional<Author> parse(std::string_view line);

// Appends a new record (no check for an earlier registration).
Author add(const std::string& root, const std::string& name, const std::string& email);

// The records matching both filters that are given, revoked ones included.
// With both given, one shard is read; otherwise every file of the layer is
// scanned on the worker pool and the results are joined in listing order.
std::vector<Author> query(const std::string& root, const std::optional<std::string>& name,
                          const std::optional<std::string>& email);

}  // namespace vl::authors
