// What the C++ tests share: a scratch directory removed afterwards, whole
// files read and written, little-endian fields, and the message chain of a
// thrown vl::Error.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "error.hpp"

namespace vl_test {

// A new directory under the temporary directory, removed with its contents.
struct TempDir {
  TempDir() : root((std::filesystem::temp_directory_path() / "vl-test-XXXXXX").string()) {
    if (!::mkdtemp(root.data())) throw std::runtime_error("mkdtemp failed");
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() { std::filesystem::remove_all(root, ec); }
  std::string file(const std::string& name) const { return root + "/" + name; }
  std::string root;
  std::error_code ec;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Replaces the file's contents; gives back its path.
inline std::string write_file(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
  return path;
}

// v as `width` little-endian bytes.
inline std::string le(uint64_t v, int width) {
  std::string b;
  for (int i = 0; i < width; ++i) b += static_cast<char>(v >> (8 * i));
  return b;
}

// The message chain of the vl::Error that fn throws.
template <typename Fn>
std::vector<std::string> error_chain(Fn&& fn) {
  try {
    fn();
  } catch (const vl::Error& e) {
    return e.chain();
  }
  return {"(no vl::Error)"};
}

}  // namespace vl_test
