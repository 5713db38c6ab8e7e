#include "authors.hpp"

#include "error.hpp"
#include "fs.hpp"
#include "hash.hpp"
#include "json.hpp"
#include "record.hpp"
#include "scan.hpp"
#include "storage.hpp"

namespace vl::authors {

std::string author_id(std::string_view name, std::string_view email) {
  std::string text;
  json::ObjectWriter(text).field("email", email).field("name", name).close();
  return sha256_hex(text);
}

std::string to_json(const Author& a) {
  std::string out;
  json::ObjectWriter(out)
      .field("id", a.id)
      .field("name", a.name)
      .field("email", a.email)
      .field("revoked", a.revoked)
      .close();
  return out;
}

std::optional<Author> parse(std::string_view line) {
  auto f = record::fields<4>(line, {"id", "name", "email", "revoked"});
  if (!f) return std::nullopt;
  Author a;
  if (!record::take((*f)[0], a.id) || !record::take((*f)[1], a.name) ||
      !record::take((*f)[2], a.email) || !record::take((*f)[3], a.revoked)) {
    return std::nullopt;
  }
  return a;
}

Author add(const std::string& root, const std::string& name, const std::string& email) {
  Author a{author_id(name, email), name, email, false};
  std::string path = shard_path(root, layout::kAuthors, a.id);
  std::string line = to_json(a);
  line.push_back('\n');
  Fd fd = with_context("opening shard " + quote_path(path), [&] { return Fd::open_append(path); });
  fd.append_lines(line);
  fd.close();
  return a;
}

static bool matches(const Author& a, const std::optional<std::string>& name,
                    const std::optional<std::string>& email) {
  return (!name || a.name == *name) && (!email || a.email == *email);
}

static std::vector<Author> collect(const std::vector<std::string>& files, const scan::Options& opt,
                                   const std::optional<std::string>& name,
                                   const std::optional<std::string>& email) {
  return scan::files<Author>(files, opt, [&](const scan::Line& line, auto& out) {
    if ((name && !record::may_hold_string(line.text, *name)) ||
        (email && !record::may_hold_string(line.text, *email))) {
      return;
    }
    auto a = parse(line.text);
    if (a && matches(*a, name, email)) out.push_back(std::move(*a));
  });
}

std::vector<Author> query(const std::string& root, const std::optional<std::string>& name,
                          const std::optional<std::string>& email) {
  std::string dir = layout::layer_dir(root, layout::kAuthors);
  if (!is_dir(dir)) return {};

  if (name && email) {
    // The one shard the author can be in; an error in reading it is the query's.
    std::string path = shard_path(root, layout::kAuthors, author_id(*name, *email));
    if (!is_regular(path)) return {};
    return collect({path}, {.unreadable = scan::Unreadable::Fail, .run = scan::Run::Serial}, name, email);
  }
  // Every file of the layer, one task per file; a shard that cannot be
  // opened or mapped contributes nothing.
  return collect(scan::list_files(dir, scan::Files::Regular),
                 {.unreadable = scan::Unreadable::Skip, .run = scan::Run::PerFile}, name, email);
}

}  // namespace vl::authors
