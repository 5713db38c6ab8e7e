// Dense numbers for distinct keys: the first key inserted is 0, the next new
// one 1, and so on.  An open-addressing table of 32-bit numbers over a
// vector of the keys, for the bulk builders that group millions of items by
// a few thousand keys: no node per key, and a probe reads one slot (which
// holds the key) and, for a string key, its bytes.
//
// Keys are 32-byte binary hashes (IdKey32) or strings the caller keeps alive
// (std::string_view).  find() may run on many threads at once while nothing
// inserts.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace vl {

struct DenseKeyHash {
  static uint64_t mix(uint64_t h) {
    h ^= h >> 32;
    h *= 0x9E3779B97F4A7C15ULL;
    return h ^ (h >> 29);
  }
  static uint64_t load(const void* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  }
  uint64_t operator()(const std::array<uint8_t, 32>& k) const noexcept {
    return mix(load(k.data()) ^ (load(k.data() + 8) * 0xC2B2AE3D27D4EB4FULL) ^ load(k.data() + 16) ^
               (load(k.data() + 24) * 0x165667B19E3779F9ULL));
  }
  // The first 16 and last 8 bytes of a long string: store hashes spread
  // well, and the table compares whole keys anyway.
  uint64_t operator()(std::string_view s) const noexcept {
    uint64_t h = s.size();
    if (s.size() >= 24) {
      h ^= load(s.data()) ^ (load(s.data() + 8) * 0xC2B2AE3D27D4EB4FULL) ^
           (load(s.data() + s.size() - 8) * 0x165667B19E3779F9ULL);
    } else {
      for (unsigned char c : s) h = h * 0x100000001B3ULL ^ c;
    }
    return mix(h);
  }
};

// Key equality without a call into the C library for short keys: eight
// bytes at a time.
inline bool same_key(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  size_t n = a.size();
  for (; n >= 8; n -= 8, p += 8, q += 8) {
    if (DenseKeyHash::load(p) != DenseKeyHash::load(q)) return false;
  }
  for (; n > 0; --n) {
    if (*p++ != *q++) return false;
  }
  return true;
}
inline bool same_key(const std::array<uint8_t, 32>& a, const std::array<uint8_t, 32>& b) {
  uint64_t diff = 0;
  for (size_t i = 0; i < 32; i += 8) diff |= DenseKeyHash::load(a.data() + i) ^ DenseKeyHash::load(b.data() + i);
  return diff == 0;
}

template <typename Key>
class DenseIds {
 public:
  static constexpr uint32_t kNone = 0xFFFFFFFF;

  explicit DenseIds(size_t expected = 0) { grow_to(expected); }

  // The number of `key`, and whether it was added by this call.
  std::pair<uint32_t, bool> insert(const Key& key) {
    if (2 * (keys_.size() + 1) > slots_.size()) grow_to(keys_.size() + 1);
    const uint64_t h = DenseKeyHash()(key);
    const auto tag = static_cast<uint32_t>(h >> 32);
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      Slot& s = slots_[i];
      if (s.id == kNone) {
        s = {key, static_cast<uint32_t>(keys_.size()), tag};
        keys_.push_back(key);
        return {s.id, true};
      }
      if (s.tag == tag && s.key == key) return {s.id, false};
    }
  }

  // The number of `key`, or kNone.
  uint32_t find(const Key& key) const { return find(key, DenseKeyHash()(key)); }
  uint32_t find(const Key& key, uint64_t h) const {
    const auto tag = static_cast<uint32_t>(h >> 32);
    for (size_t i = h & mask_;; i = (i + 1) & mask_) {
      const Slot& s = slots_[i];
      if (s.id == kNone) return kNone;
      if (s.tag == tag && s.key == key) return s.id;
    }
  }

  // out[i] = find(keys[i]) for every i.  The slots of later keys, and the
  // bytes of the string keys they hold, are fetched while earlier keys are
  // compared: a bulk lookup waits for memory once per batch, not per key.
  void find_many(const std::vector<Key>& keys, std::vector<uint32_t>& out) const {
    constexpr size_t kAhead = 8;
    const size_t n = keys.size();
    std::vector<uint64_t> hashes(n);
    for (size_t i = 0; i < n; ++i) hashes[i] = DenseKeyHash()(keys[i]);
    out.resize(n);
    for (size_t i = 0; i < n; ++i) {
      if (i + 2 * kAhead < n) __builtin_prefetch(&slots_[hashes[i + 2 * kAhead] & mask_]);
      if constexpr (std::is_same_v<Key, std::string_view>) {
        if (i + kAhead < n) {
          const Slot& ahead = slots_[hashes[i + kAhead] & mask_];
          if (ahead.id != kNone) __builtin_prefetch(ahead.key.data());
        }
      }
      out[i] = find(keys[i], hashes[i]);
    }
  }

  size_t size() const { return keys_.size(); }
  // The keys by number.
  const std::vector<Key>& keys() const { return keys_; }

 private:
  // The key is held in its slot, so a probe that finds it reads one
  // place.
  struct Slot {
    Key key;
    uint32_t id;
    uint32_t tag;  // high half of the key's hash
  };

  // At least twice as many slots as keys, a power of two.
  void grow_to(size_t keys) {
    size_t n = 16;
    while (n < 2 * keys) n *= 2;
    if (n <= slots_.size()) return;
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(n, Slot{Key{}, kNone, 0});
    mask_ = n - 1;
    for (uint32_t id = 0; id < keys_.size(); ++id) {
      const uint64_t h = DenseKeyHash()(keys_[id]);
      size_t i = h & mask_;
      while (slots_[i].id != kNone) i = (i + 1) & mask_;
      slots_[i] = {keys_[id], id, static_cast<uint32_t>(h >> 32)};
    }
  }

  std::vector<Slot> slots_;
  std::vector<Key> keys_;
  size_t mask_ = 0;
};

}  // namespace vl
