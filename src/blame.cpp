#include "blame.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "hash.hpp"
#include "json.hpp"

namespace vl {

std::vector<documents::DocumentRecord> blame(const std::string& root, const std::string&,
                                             const std::string& line_content) {
  // Hashed as a tracked line is; content that is not one JSON value is
  // hashed as a JSON string holding it.
  std::optional<Digest> digest = canonical_hash_of_line(line_content);
  if (digest) return documents::lookup_document(root, digest->hex());
  return documents::lookup_document(root, compute_hash(json::Value::string(line_content)));
}

const char* op_tag_name(OpTag tag) {
  switch (tag) {
    case OpTag::Equal: return "equal";
    case OpTag::Delete: return "delete";
    case OpTag::Insert: return "insert";
    case OpTag::Replace: return "replace";
  }
  return "equal";
}

namespace {

// ---------------------------------------------------------------------------
// Edit script

enum class Kind : uint8_t { Equal, Delete, Insert };

// One operation of the edit script. All three kinds carry a position in both
// lists and one length:
//   equal:  old[old_pos, +len) == new[new_pos, +len)
//   delete: old[old_pos, +len) removed; new_pos is the position in the new list
//   insert: new[new_pos, +len) inserted; old_pos is the position in the old list
struct Op {
  Kind kind;
  size_t old_pos, new_pos, len;

  size_t old_len() const { return kind == Kind::Insert ? 0 : len; }
  size_t new_len() const { return kind == Kind::Delete ? 0 : len; }
};

// The script as a doubly linked list over a vector of nodes, so that the
// compaction can remove, insert and swap operations in constant time.
// Removed nodes are only unlinked; their slots are never reused.
class OpList {
 public:
  static constexpr size_t kNil = std::numeric_limits<size_t>::max();

  void push_back(const Op& op) { link(nodes_.size(), tail_, kNil, op); }
  size_t insert_after(size_t at, const Op& op) {
    size_t idx = nodes_.size();
    link(idx, at, nodes_[at].next, op);
    return idx;
  }
  size_t insert_before(size_t at, const Op& op) {
    size_t idx = nodes_.size();
    link(idx, nodes_[at].prev, at, op);
    return idx;
  }
  void remove(size_t idx) {
    Node& n = nodes_[idx];
    (n.prev == kNil ? head_ : nodes_[n.prev].next) = n.next;
    (n.next == kNil ? tail_ : nodes_[n.next].prev) = n.prev;
  }

  size_t head() const { return head_; }
  size_t next(size_t idx) const { return nodes_[idx].next; }
  size_t prev(size_t idx) const { return nodes_[idx].prev; }
  Op& operator[](size_t idx) { return nodes_[idx].op; }

 private:
  struct Node {
    Op op;
    size_t prev, next;
  };

  void link(size_t idx, size_t prev, size_t next, const Op& op) {
    nodes_.push_back(Node{op, prev, next});
    (prev == kNil ? head_ : nodes_[prev].next) = idx;
    (next == kNil ? tail_ : nodes_[next].prev) = idx;
  }

  std::vector<Node> nodes_;
  size_t head_ = kNil, tail_ = kNil;
};

// ---------------------------------------------------------------------------
// Divide-and-conquer Myers over interned lines

template <class Id>
class Myers {
 public:
  Myers(const std::vector<Id>& a, const std::vector<Id>& b, OpList& out, const std::function<bool()>& interrupted)
      : a_(a.data()), b_(b.data()), n_(a.size()), m_(b.size()), out_(out), interrupted_(interrupted) {
    // One pair of vectors for the whole diff: every sub-search works on a
    // smaller range, so its diagonals fit in the slots sized for the whole.
    d_max_ = static_cast<ptrdiff_t>((n_ + m_ + 1) / 2 + 1);
    vf_.assign(static_cast<size_t>(2 * d_max_), 0);
    vb_.assign(static_cast<size_t>(2 * d_max_), 0);
  }

  void run() {
    // An explicit stack instead of recursion: a range task strips the common
    // prefix and suffix and splits the rest; the suffix is emitted after both
    // halves, so it is pushed below them.
    struct Task {
      bool emit_suffix;
      size_t a0, a1, b0, b1;  // for emit_suffix: a0, b0 = starts, a1 = length
    };
    std::vector<Task> stack{{false, 0, n_, 0, m_}};
    while (!stack.empty()) {
      Task t = stack.back();
      stack.pop_back();
      if (t.emit_suffix) {
        out_.push_back({Kind::Equal, t.a0, t.b0, t.a1});
        continue;
      }
      size_t a0 = t.a0, a1 = t.a1, b0 = t.b0, b1 = t.b1;

      size_t p = 0;
      while (a0 + p < a1 && b0 + p < b1 && a_[a0 + p] == b_[b0 + p]) ++p;
      if (p > 0) out_.push_back({Kind::Equal, a0, b0, p});
      a0 += p;
      b0 += p;

      size_t s = 0;
      while (a0 + s < a1 && b0 + s < b1 && a_[a1 - 1 - s] == b_[b1 - 1 - s]) ++s;
      a1 -= s;
      b1 -= s;
      if (s > 0) stack.push_back({true, a1, s, b1, 0});

      if (a0 == a1 && b0 == b1) continue;
      if (b0 == b1) {
        out_.push_back({Kind::Delete, a0, b0, a1 - a0});
      } else if (a0 == a1) {
        out_.push_back({Kind::Insert, a0, b0, b1 - b0});
      } else if (size_t x, y; middle_snake(a0, a1, b0, b1, x, y)) {
        stack.push_back({false, x, a1, y, b1});
        stack.push_back({false, a0, x, b0, y});
      } else {
        // Not reached without a time limit: any two non-empty ranges have a
        // middle snake. Kept as the plain replacement of the whole range.
        out_.push_back({Kind::Delete, a0, b0, a1 - a0});
        out_.push_back({Kind::Insert, a1, b0, b1 - b0});
      }
    }
  }

 private:
  // Finds the middle snake of old[a0, a1) and new[b0, b1), both non-empty
  // and without a common prefix or suffix, and stores the split point in
  // (sx, sy). vf[k] and vb[k] hold the furthest x reached on diagonal
  // k = x - y from the start and from the end, relative to the range.
  bool middle_snake(size_t a0, size_t a1, size_t b0, size_t b1, size_t& sx, size_t& sy) {
    const ptrdiff_t n = static_cast<ptrdiff_t>(a1 - a0);
    const ptrdiff_t m = static_cast<ptrdiff_t>(b1 - b0);
    const ptrdiff_t delta = n - m;
    const bool odd = (delta & 1) != 0;
    const ptrdiff_t d_max = (n + m + 1) / 2 + 1;
    ptrdiff_t* vf = vf_.data() + d_max_;
    ptrdiff_t* vb = vb_.data() + d_max_;
    const Id* a = a_ + a0;
    const Id* b = b_ + b0;
    const Id* a_end = a_ + a1;
    const Id* b_end = b_ + b1;
    vf[1] = 0;
    vb[1] = 0;

    for (ptrdiff_t d = 0; d < d_max; ++d) {
      work_ += static_cast<uint64_t>(d) + 1;
      if (work_ >= kWorkBetweenLooks) poll();
      for (ptrdiff_t k = d; k >= -d; k -= 2) {
        ptrdiff_t x = (k == -d || (k != d && vf[k - 1] < vf[k + 1])) ? vf[k + 1] : vf[k - 1] + 1;
        ptrdiff_t y = x - k;
        const ptrdiff_t x0 = x, y0 = y;
        if (x < n && y >= 0 && y < m) {
          while (x < n && y < m && a[x] == b[y]) ++x, ++y;
        }
        vf[k] = x;
        if (odd && std::abs(k - delta) <= d - 1 && vf[k] + vb[delta - k] >= n) {
          sx = a0 + static_cast<size_t>(x0);
          sy = b0 + static_cast<size_t>(y0);
          return true;
        }
      }
      for (ptrdiff_t k = d; k >= -d; k -= 2) {
        ptrdiff_t x = (k == -d || (k != d && vb[k - 1] < vb[k + 1])) ? vb[k + 1] : vb[k - 1] + 1;
        ptrdiff_t y = x - k;
        if (x < n && y >= 0 && y < m) {
          while (x < n && y < m && a_end[-1 - x] == b_end[-1 - y]) ++x, ++y;
        }
        vb[k] = x;
        if (!odd && std::abs(k - delta) <= d && vb[k] + vf[delta - k] >= n) {
          sx = a0 + static_cast<size_t>(n - x);
          sy = b0 + static_cast<size_t>(m - y);
          return true;
        }
      }
    }
    return false;
  }

  // Asks the caller whether to stop, at most every few milliseconds: the
  // clock is read only after a good amount of search work.
  void poll() {
    work_ = 0;
    if (!interrupted_) return;
    auto now = std::chrono::steady_clock::now();
    if (now - last_look_ < std::chrono::milliseconds(5)) return;
    last_look_ = now;
    if (interrupted_()) throw Interrupted{};
  }

  static constexpr uint64_t kWorkBetweenLooks = uint64_t{1} << 16;

  const Id* a_;
  const Id* b_;
  size_t n_, m_;
  OpList& out_;
  const std::function<bool()>& interrupted_;
  uint64_t work_ = 0;
  std::chrono::steady_clock::time_point last_look_ = std::chrono::steady_clock::now();
  ptrdiff_t d_max_;
  std::vector<ptrdiff_t> vf_, vb_;
};

// ---------------------------------------------------------------------------
// Compaction: slides deletions and insertions together so that the edits of
// one change end up next to each other.

template <class Id>
class Compactor {
 public:
  Compactor(const std::vector<Id>& a, const std::vector<Id>& b, OpList& ops)
      : a_(a.data()), b_(b.data()), ops_(ops) {}

  // Deletions first, then insertions, each pass from the start of the list.
  void run() {
    for (Kind kind : {Kind::Delete, Kind::Insert}) {
      for (size_t i = ops_.head(); i != OpList::kNil; i = ops_.next(i)) {
        if (ops_[i].kind != kind) continue;
        i = shift_up(i);
        i = shift_down(i);
      }
    }
  }

 private:
  // Swaps two adjacent edits of different kinds; the first of the pair
  // starts where the pair started, the second right after it.
  static void swap_edits(Op& first, Op& second) {
    Op moved = second, stays = first;
    moved.old_pos = first.old_pos;
    moved.new_pos = first.new_pos;
    stays.old_pos = first.old_pos + second.old_len();
    stays.new_pos = first.new_pos + second.new_len();
    first = moved;
    second = stays;
  }

  // Lines that an equal run and an insertion have in common at their ends
  // (old lines of the run against new lines of the insertion). A deletion
  // never slides over an equal run.
  size_t common_tail(const Op& eq, const Op& edit) const {
    if (edit.kind != Kind::Insert) return 0;
    const Id* a = a_ + eq.old_pos + eq.len;
    const Id* b = b_ + edit.new_pos + edit.len;
    size_t limit = std::min(eq.len, edit.len), c = 0;
    while (c < limit && a[-1 - static_cast<ptrdiff_t>(c)] == b[-1 - static_cast<ptrdiff_t>(c)]) ++c;
    return c;
  }

  size_t common_head(const Op& eq, const Op& edit) const {
    if (edit.kind != Kind::Insert) return 0;
    const Id* a = a_ + eq.old_pos;
    const Id* b = b_ + edit.new_pos;
    size_t limit = std::min(eq.len, edit.len), c = 0;
    while (c < limit && a[c] == b[c]) ++c;
    return c;
  }

  // Moves the edit at node i towards the start; returns the node holding it.
  size_t shift_up(size_t i) {
    for (size_t p; (p = ops_.prev(i)) != OpList::kNil;) {
      Op& cur = ops_[i];
      Op& pre = ops_[p];
      if (pre.kind == cur.kind) {
        pre.len += cur.len;
        ops_.remove(i);
        i = p;
      } else if (pre.kind != Kind::Equal) {
        swap_edits(pre, cur);
        i = p;
      } else if (size_t c = common_tail(pre, cur); c > 0) {
        // The last c lines of the run move behind the edit.
        const size_t eq_old = pre.old_pos + pre.len - c;
        const size_t eq_new = cur.new_pos + cur.len - c;
        cur.old_pos -= c;
        cur.new_pos -= c;
        pre.len -= c;
        const bool emptied = pre.len == 0;
        size_t nx = ops_.next(i);
        if (nx != OpList::kNil && ops_[nx].kind == Kind::Equal) {
          Op& after = ops_[nx];
          after.old_pos -= c;
          after.new_pos -= c;
          after.len += c;
        } else {
          ops_.insert_after(i, {Kind::Equal, eq_old, eq_new, c});  // invalidates cur, pre
        }
        if (emptied) ops_.remove(p);
      } else if (pre.len == 0) {
        ops_.remove(p);
      } else {
        break;
      }
    }
    return i;
  }

  // Moves the edit at node i towards the end; returns the node holding it.
  size_t shift_down(size_t i) {
    for (size_t nx; (nx = ops_.next(i)) != OpList::kNil;) {
      Op& cur = ops_[i];
      Op& nxt = ops_[nx];
      if (nxt.kind == cur.kind) {
        cur.len += nxt.len;
        ops_.remove(nx);
      } else if (nxt.kind != Kind::Equal) {
        swap_edits(cur, nxt);
        i = nx;
      } else if (size_t c = common_head(nxt, cur); c > 0) {
        // The first c lines of the run move before the edit.
        const size_t eq_old = nxt.old_pos;
        const size_t eq_new = cur.new_pos;
        cur.old_pos += c;
        cur.new_pos += c;
        nxt.old_pos += c;
        nxt.new_pos += c;
        nxt.len -= c;
        const bool emptied = nxt.len == 0;
        size_t pv = ops_.prev(i);
        if (pv != OpList::kNil && ops_[pv].kind == Kind::Equal) {
          ops_[pv].len += c;
        } else {
          ops_.insert_before(i, {Kind::Equal, eq_old, eq_new, c});  // invalidates cur, nxt
        }
        if (emptied) ops_.remove(nx);
      } else if (nxt.len == 0) {
        ops_.remove(nx);
      } else {
        break;
      }
    }
    return i;
  }

  const Id* a_;
  const Id* b_;
  OpList& ops_;
};

// ---------------------------------------------------------------------------
// Grouping into opcodes

std::vector<Opcode> group(OpList& ops) {
  std::vector<Opcode> out;
  bool have_eq = false, have_del = false, have_ins = false;
  Op eq{}, del{}, ins{};

  auto flush_equal = [&] {
    if (have_eq) out.push_back({OpTag::Equal, eq.old_pos, eq.old_pos + eq.len, eq.new_pos, eq.new_pos + eq.len});
    have_eq = false;
  };
  auto flush_edits = [&] {
    if (have_del && have_ins) {
      out.push_back({OpTag::Replace, del.old_pos, del.old_pos + del.len, ins.new_pos, ins.new_pos + ins.len});
    } else if (have_del) {
      out.push_back({OpTag::Delete, del.old_pos, del.old_pos + del.len, del.new_pos, del.new_pos});
    } else if (have_ins) {
      out.push_back({OpTag::Insert, ins.old_pos, ins.old_pos, ins.new_pos, ins.new_pos + ins.len});
    }
    have_del = have_ins = false;
  };
  // Accumulates an edit into the pending range of its kind: the range starts
  // where its first edit starts and grows by the length of every later one.
  auto add = [](bool& have, Op& acc, const Op& op) {
    if (have) {
      acc.len += op.len;
    } else {
      acc = op;
      have = true;
    }
  };

  for (size_t i = ops.head(); i != OpList::kNil; i = ops.next(i)) {
    const Op& op = ops[i];
    switch (op.kind) {
      case Kind::Equal:
        flush_edits();
        add(have_eq, eq, op);
        break;
      case Kind::Delete:
        flush_equal();
        add(have_del, del, op);
        break;
      case Kind::Insert:
        flush_equal();
        add(have_ins, ins, op);
        break;
    }
  }
  flush_equal();
  flush_edits();
  return out;
}

// A hash of a line's bytes, eight at a time.
uint64_t line_hash(std::string_view s) {
  const char* p = s.data();
  size_t n = s.size();
  uint64_t h = 0x9E3779B97F4A7C15ULL ^ n;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h = (h ^ w) * 0xBF58476D1CE4E5B9ULL;
    h ^= h >> 31;
  }
  if (n > 0) {
    uint64_t w = 0;
    std::memcpy(&w, p, n);
    h = (h ^ w) * 0x94D049BB133111EBULL;
  }
  h ^= h >> 29;
  h *= 0xBF58476D1CE4E5B9ULL;
  return h ^ (h >> 32);
}

// Gives every distinct line a small integer, shared by both lists, so the
// search compares integers instead of strings.  Ids are given in order of
// first appearance, old lines first: the ids of the old lines are exactly
// those below old_distinct.
template <class Id>
struct Interned {
  std::vector<Id> a, b;
  size_t old_distinct = 0;
};

// The table is open addressing over one flat array whose slots hold what a
// lookup compares (hash, size, where the bytes are) and the id, so that a
// probe touches one slot and, on a likely match, the line's bytes.  The
// hashes of a run of lines are computed first and their slots fetched ahead
// of use: the probes are random accesses into a table larger than the
// caches, and this lets several of them wait for memory at once.
template <class Id>
Interned<Id> intern(std::span<const std::string_view> old_lines, std::span<const std::string_view> new_lines) {
  struct Slot {
    uint64_t hash;
    const char* data;
    size_t size;
    Id id;  // id + 1; 0 for an empty slot
  };
  Interned<Id> out;
  const size_t total = old_lines.size() + new_lines.size();
  size_t cap = 16;
  while (cap < total + total / 2) cap *= 2;
  const size_t mask = cap - 1;
  std::vector<Slot> slots(cap, Slot{0, nullptr, 0, 0});
  size_t distinct = 0;

  constexpr size_t kRun = 256, kAhead = 8;
  std::array<uint64_t, kRun> hashes;
  auto map = [&](std::span<const std::string_view> lines, std::vector<Id>& ids) {
    ids.resize(lines.size());
    for (size_t base = 0; base < lines.size(); base += kRun) {
      const size_t count = std::min(kRun, lines.size() - base);
      for (size_t k = 0; k < count; ++k) {
        hashes[k] = line_hash(lines[base + k]);
        if (k >= kAhead) continue;
        __builtin_prefetch(&slots[hashes[k] & mask]);
      }
      for (size_t k = 0; k < count; ++k) {
        if (k + kAhead < count) __builtin_prefetch(&slots[hashes[k + kAhead] & mask]);
        const std::string_view line = lines[base + k];
        const uint64_t h = hashes[k];
        for (size_t i = h & mask;; i = (i + 1) & mask) {
          Slot& slot = slots[i];
          if (slot.id == 0) {
            ids[base + k] = static_cast<Id>(distinct++);
            slot = Slot{h, line.data(), line.size(), static_cast<Id>(distinct)};
            break;
          }
          if (slot.hash == h && slot.size == line.size() &&
              (slot.data == line.data() || std::memcmp(slot.data, line.data(), line.size()) == 0)) {
            ids[base + k] = slot.id - 1;
            break;
          }
        }
      }
    }
  };
  map(old_lines, out.a);
  out.old_distinct = distinct;
  map(new_lines, out.b);
  return out;
}

// The opcodes when, past the common prefix and suffix, no line of the new
// list occurs anywhere in the old one: nothing in the middle can be kept, and
// no insertion can slide over the prefix or suffix (that would need one of
// its lines among the old ones).  Whatever the search chose, the middle
// would come out as one replacement, so the search is skipped.  Nothing when
// that does not hold.
template <class Id>
std::optional<std::vector<Opcode>> without_common_middle(const Interned<Id>& in) {
  const std::vector<Id>& a = in.a;
  const std::vector<Id>& b = in.b;
  const size_t n = a.size(), m = b.size();
  size_t p = 0;
  while (p < n && p < m && a[p] == b[p]) ++p;
  size_t s = 0;
  while (p + s < n && p + s < m && a[n - 1 - s] == b[m - 1 - s]) ++s;
  if (p + s == n || p + s == m) return std::nullopt;  // a plain insertion or deletion
  for (size_t j = p; j < m - s; ++j) {
    if (b[j] < in.old_distinct) return std::nullopt;
  }
  std::vector<Opcode> out;
  if (p > 0) out.push_back({OpTag::Equal, 0, p, 0, p});
  out.push_back({OpTag::Replace, p, n - s, p, m - s});
  if (s > 0) out.push_back({OpTag::Equal, n - s, n, m - s, m});
  return out;
}

template <class Id>
std::vector<Opcode> diff(std::span<const std::string_view> old_lines, std::span<const std::string_view> new_lines,
                         const std::function<bool()>& interrupted) {
  Interned<Id> in = intern<Id>(old_lines, new_lines);
  if (auto ops = without_common_middle(in)) return std::move(*ops);
  OpList ops;
  Myers<Id>(in.a, in.b, ops, interrupted).run();
  Compactor<Id>(in.a, in.b, ops).run();
  return group(ops);
}

}  // namespace

std::vector<Opcode> blame_diff(std::span<const std::string_view> old_lines,
                               std::span<const std::string_view> new_lines, const std::function<bool()>& interrupted) {
  // One side empty: the other is inserted or deleted whole.
  const size_t n = old_lines.size(), m = new_lines.size();
  if (n == 0 || m == 0) {
    if (n == 0 && m == 0) return {};
    return {n == 0 ? Opcode{OpTag::Insert, 0, 0, 0, m} : Opcode{OpTag::Delete, 0, n, 0, 0}};
  }
  if (n + m < std::numeric_limits<uint32_t>::max()) return diff<uint32_t>(old_lines, new_lines, interrupted);
  return diff<uint64_t>(old_lines, new_lines, interrupted);
}

std::vector<Opcode> blame_diff(const std::vector<std::string>& old_lines,
                               const std::vector<std::string>& new_lines, const std::function<bool()>& interrupted) {
  std::vector<std::string_view> a(old_lines.begin(), old_lines.end()), b(new_lines.begin(), new_lines.end());
  return blame_diff(std::span<const std::string_view>(a), std::span<const std::string_view>(b), interrupted);
}

}  // namespace vl
