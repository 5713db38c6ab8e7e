#include "authors.hpp"

#include "error.hpp"
#include "fs.hpp"
#include "hash.hpp"
#include "json.hpp"
#include "mmap_lines.hpp"
#include "pool.hpp"
#include "record.hpp"
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

static void collect(std::string_view bytes, const std::optional<std::string>& name,
                    const std::optional<std::string>& email, std::vector<Author>& out) {
  for_each_line(bytes, [&](std::string_view line) {
    if ((name && !record::may_hold_string(line, *name)) ||
        (email && !record::may_hold_string(line, *email))) {
      return;
    }
    auto a = parse(line);
    if (a && matches(*a, name, email)) out.push_back(std::move(*a));
  });
}

std::vector<Author> query(const std::string& root, const std::optional<std::string>& name,
                          const std::optional<std::string>& email) {
  std::vector<Author> out;
  std::string dir = layout::layer_dir(root, layout::kAuthors);
  if (!is_dir(dir)) return out;

  if (name && email) {
    std::string path = shard_path(root, layout::kAuthors, author_id(*name, *email));
    if (!is_regular(path)) return out;
    if (auto map = mmap_file(path)) collect(map->view(), name, email, out);
    return out;
  }

  std::vector<std::string> files;
  for (const DirEntry& e : list_dir(dir)) {
    if (layout::parse_layer_entry(e.name).kind == layout::Kind::Temporary) continue;
    if (is_regular(e.path)) files.push_back(e.path);
  }
  auto per_file = pool::ordered_map<std::vector<Author>>(files.size(), [&](size_t i) {
    std::vector<Author> found;
    try {
      if (auto map = mmap_file(files[i])) collect(map->view(), name, email, found);
    } catch (const Error&) {
      // A shard that cannot be opened or mapped contributes nothing.
    }
    return found;
  });
  for (auto& part : per_file) {
    for (auto& a : part) out.push_back(std::move(a));
  }
  return out;
}

}  // namespace vl::authors
