#include "json.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#ifdef __x86_64__
#include <immintrin.h>
#endif

#include "utf8.hpp"

namespace vl::json {

// ---------------------------------------------------------------------------
// Value

static bool key_less(const Member& a, const Member& b) { return a.first < b.first; }

Value Value::object(std::vector<Member> members) {
  // Stable, so that among equal keys the last one given stays last; then
  // keep only that last one.  Small objects (the common case) sort by
  // insertion, which beats the allocation of a merge sort.
  if (members.size() <= 16) {
    for (size_t i = 1; i < members.size(); ++i) {
      for (size_t j = i; j > 0 && key_less(members[j], members[j - 1]); --j) {
        std::swap(members[j], members[j - 1]);
      }
    }
  } else {
    std::stable_sort(members.begin(), members.end(), key_less);
  }
  size_t out = 0;
  for (size_t i = 0; i < members.size(); ++i) {
    if (i + 1 < members.size() && members[i + 1].first == members[i].first) continue;
    if (out != i) members[out] = std::move(members[i]);
    ++out;
  }
  members.resize(out);
  return Value(Object(std::move(members)));
}

const Value* Value::find(std::string_view key) const {
  const Object* obj = as_object();
  if (!obj) return nullptr;
  auto it = std::lower_bound(obj->begin(), obj->end(), key,
                             [](const Member& m, std::string_view k) { return m.first < k; });
  if (it == obj->end() || it->first != key) return nullptr;
  return &it->second;
}

std::string ParseError::message() const {
  return description + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

// ---------------------------------------------------------------------------
// Reader

namespace {

// Correctly rounded powers of ten, as the compiler reads the literals.
constexpr double kPow10[309] = {
    1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7, 1e8, 1e9, 1e10, 1e11, 1e12, 1e13,
    1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22, 1e23, 1e24, 1e25,
    1e26, 1e27, 1e28, 1e29, 1e30, 1e31, 1e32, 1e33, 1e34, 1e35, 1e36, 1e37,
    1e38, 1e39, 1e40, 1e41, 1e42, 1e43, 1e44, 1e45, 1e46, 1e47, 1e48, 1e49,
    1e50, 1e51, 1e52, 1e53, 1e54, 1e55, 1e56, 1e57, 1e58, 1e59, 1e60, 1e61,
    1e62, 1e63, 1e64, 1e65, 1e66, 1e67, 1e68, 1e69, 1e70, 1e71, 1e72, 1e73,
    1e74, 1e75, 1e76, 1e77, 1e78, 1e79, 1e80, 1e81, 1e82, 1e83, 1e84, 1e85,
    1e86, 1e87, 1e88, 1e89, 1e90, 1e91, 1e92, 1e93, 1e94, 1e95, 1e96, 1e97,
    1e98, 1e99, 1e100, 1e101, 1e102, 1e103, 1e104, 1e105, 1e106, 1e107, 1e108,
    1e109, 1e110, 1e111, 1e112, 1e113, 1e114, 1e115, 1e116, 1e117, 1e118, 1e119,
    1e120, 1e121, 1e122, 1e123, 1e124, 1e125, 1e126, 1e127, 1e128, 1e129, 1e130,
    1e131, 1e132, 1e133, 1e134, 1e135, 1e136, 1e137, 1e138, 1e139, 1e140, 1e141,
    1e142, 1e143, 1e144, 1e145, 1e146, 1e147, 1e148, 1e149, 1e150, 1e151, 1e152,
    1e153, 1e154, 1e155, 1e156, 1e157, 1e158, 1e159, 1e160, 1e161, 1e162, 1e163,
    1e164, 1e165, 1e166, 1e167, 1e168, 1e169, 1e170, 1e171, 1e172, 1e173, 1e174,
    1e175, 1e176, 1e177, 1e178, 1e179, 1e180, 1e181, 1e182, 1e183, 1e184, 1e185,
    1e186, 1e187, 1e188, 1e189, 1e190, 1e191, 1e192, 1e193, 1e194, 1e195, 1e196,
    1e197, 1e198, 1e199, 1e200, 1e201, 1e202, 1e203, 1e204, 1e205, 1e206, 1e207,
    1e208, 1e209, 1e210, 1e211, 1e212, 1e213, 1e214, 1e215, 1e216, 1e217, 1e218,
    1e219, 1e220, 1e221, 1e222, 1e223, 1e224, 1e225, 1e226, 1e227, 1e228, 1e229,
    1e230, 1e231, 1e232, 1e233, 1e234, 1e235, 1e236, 1e237, 1e238, 1e239, 1e240,
    1e241, 1e242, 1e243, 1e244, 1e245, 1e246, 1e247, 1e248, 1e249, 1e250, 1e251,
    1e252, 1e253, 1e254, 1e255, 1e256, 1e257, 1e258, 1e259, 1e260, 1e261, 1e262,
    1e263, 1e264, 1e265, 1e266, 1e267, 1e268, 1e269, 1e270, 1e271, 1e272, 1e273,
    1e274, 1e275, 1e276, 1e277, 1e278, 1e279, 1e280, 1e281, 1e282, 1e283, 1e284,
    1e285, 1e286, 1e287, 1e288, 1e289, 1e290, 1e291, 1e292, 1e293, 1e294, 1e295,
    1e296, 1e297, 1e298, 1e299, 1e300, 1e301, 1e302, 1e303, 1e304, 1e305, 1e306,
    1e307, 1e308,
};

// Hex digit values by byte; all bits set for other bytes, so that four
// values shifted into place and or-ed exceed 0xFFFF when one is not a digit.
constexpr auto kHexValue = [] {
  std::array<uint32_t, 256> t{};
  for (unsigned c = 0; c < 256; ++c) {
    t[c] = c >= '0' && c <= '9' ? c - '0'
         : c >= 'a' && c <= 'f' ? c - 'a' + 10
         : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                : ~0u;
  }
  return t;
}();

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The bytes a string's canonical text must escape: the quote, the
// backslash and the control characters.
bool needs_escape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\'; }

#ifdef __SSE2__
// The bytes of the 16-byte block `v` that need an escape, as a bit mask.
unsigned escape_mask(__m128i v) {
  const __m128i below_space = _mm_set1_epi8(0x1F);
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(v, below_space), below_space);
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), control)));
}
unsigned escape_mask(const char* p) { return escape_mask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); }
#endif

class Parser {
 public:
  explicit Parser(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  bool value(Value& out);
  bool members(std::vector<Member>& out);  // the '{' already consumed
  // A whole text that must be one object, members in document order.
  bool top_level_members(std::vector<Member>& out) {
    skip_ws();
    if (!at('{')) return fail("expected value");
    if (!enter()) return false;
    ++p_;
    out.reserve(8);  // records have a handful of fields
    return members(out) && finish();
  }
  bool finish();                           // only white space may follow
  void skip_ws() {
    while (p_ < end_ && is_ws(*p_)) ++p_;
  }
  bool at(char c) const { return p_ < end_ && *p_ == c; }
  bool fail(const char* description, const char* where) {
    error_ = description;
    error_pos_ = where;
    return false;
  }
  bool fail(const char* description) { return fail(description, p_); }
  void report(ParseError* error) const;

 private:
  bool string(std::string& out);
  bool number(Value& out);
  bool literal(const char* rest, size_t n);
  bool hex4(uint32_t& out);
  bool enter() {
    if (--remaining_depth_ == 0) return fail("recursion limit exceeded");
    return true;
  }
  void leave() { ++remaining_depth_; }

  const char* begin_;
  const char* p_;
  const char* end_;
  int remaining_depth_ = kMaxDepth + 1;
  const char* error_ = nullptr;
  const char* error_pos_ = nullptr;
};

void Parser::report(ParseError* error) const {
  if (!error) return;
  error->description = error_ ? error_ : "invalid JSON";
  size_t line = 1;
  const char* line_start = begin_;
  for (const char* q = begin_; q < error_pos_; ++q) {
    if (*q == '\n') {
      ++line;
      line_start = q + 1;
    }
  }
  error->line = line;
  error->column = static_cast<size_t>(error_pos_ - line_start) + 1;
}

bool Parser::finish() {
  skip_ws();
  if (p_ != end_) return fail("trailing characters");
  return true;
}

bool Parser::literal(const char* rest, size_t n) {
  // p_ is just past the first letter.
  for (size_t i = 0; i < n; ++i) {
    if (p_ == end_) return fail("EOF while parsing a value");
    if (*p_ != rest[i]) return fail("expected ident");
    ++p_;
  }
  return true;
}

bool Parser::value(Value& out) {
  skip_ws();
  if (p_ == end_) return fail("EOF while parsing a value");
  switch (*p_) {
    case 'n':
      ++p_;
      if (!literal("ull", 3)) return false;
      out = Value();
      return true;
    case 't':
      ++p_;
      if (!literal("rue", 3)) return false;
      out = Value::boolean(true);
      return true;
    case 'f':
      ++p_;
      if (!literal("alse", 4)) return false;
      out = Value::boolean(false);
      return true;
    case '"': {
      ++p_;
      std::string s;
      if (!string(s)) return false;
      out = Value::string(std::move(s));
      return true;
    }
    case '[': {
      if (!enter()) return false;
      ++p_;
      Array items;
      skip_ws();
      if (at(']')) {
        ++p_;
      } else {
        for (;;) {
          items.emplace_back();
          if (!value(items.back())) return false;
          skip_ws();
          if (p_ == end_) return fail("EOF while parsing a list");
          if (*p_ == ']') {
            ++p_;
            break;
          }
          if (*p_ != ',') return fail("expected `,` or `]`");
          ++p_;
          skip_ws();
          if (at(']')) return fail("trailing comma");
        }
      }
      leave();
      out = Value::array(std::move(items));
      return true;
    }
    case '{': {
      if (!enter()) return false;
      ++p_;
      std::vector<Member> ms;
      if (!members(ms)) return false;
      leave();
      out = Value::object(std::move(ms));
      return true;
    }
    default:
      if (*p_ == '-' || is_digit(*p_)) return number(out);
      return fail("expected value");
  }
}

bool Parser::members(std::vector<Member>& out) {
  skip_ws();
  if (at('}')) {
    ++p_;
    return true;
  }
  for (;;) {
    skip_ws();
    if (p_ == end_) return fail("EOF while parsing an object");
    if (*p_ != '"') return fail(*p_ == '}' ? "trailing comma" : "key must be a string");
    ++p_;
    out.emplace_back();
    if (!string(out.back().first)) return false;
    skip_ws();
    if (p_ == end_) return fail("EOF while parsing an object");
    if (*p_ != ':') return fail("expected `:`");
    ++p_;
    if (!value(out.back().second)) return false;
    skip_ws();
    if (p_ == end_) return fail("EOF while parsing an object");
    if (*p_ == '}') {
      ++p_;
      return true;
    }
    if (*p_ != ',') return fail("expected `,` or `}`");
    ++p_;
  }
}

bool Parser::hex4(uint32_t& out) {
  out = 0;
  for (int i = 0; i < 4; ++i) {
    if (p_ == end_) return fail("EOF while parsing a string");
    uint32_t d = kHexValue[static_cast<unsigned char>(*p_)];
    if (d > 15) return fail("invalid escape");
    out = out * 16 + d;
    ++p_;
  }
  return true;
}

bool Parser::string(std::string& out) {
  // p_ is just past the opening quote.
  for (;;) {
    // One run of bytes that are copied as they are: printable ASCII and
    // whole, valid UTF-8 characters (validated in place, so that non-ASCII
    // text is copied in one piece rather than character by character).
    const char* run = p_;
    for (;;) {
#ifdef __SSE2__
      // Plain ASCII sixteen bytes at a time.
      while (end_ - p_ >= 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p_));
        unsigned stop = escape_mask(v) | static_cast<unsigned>(_mm_movemask_epi8(v));
        if (stop) {
          p_ += __builtin_ctz(stop);
          break;
        }
        p_ += 16;
      }
#endif
      if (p_ == end_) break;
      auto c = static_cast<unsigned char>(*p_);
      if (c < 0x80) {
        if (needs_escape(c)) break;
        ++p_;
        continue;
      }
      char32_t cp;
      size_t n = utf8::decode(std::string_view(p_, static_cast<size_t>(end_ - p_)), &cp);
      if (n == 0) return fail("invalid unicode code point");
      p_ += n;
    }
    out.append(run, p_);
    if (p_ == end_) return fail("EOF while parsing a string");
    auto c = static_cast<unsigned char>(*p_);
    if (c == '"') {
      ++p_;
      return true;
    }
    if (c < 0x20) return fail("control character (\\u0000-\\u001F) found while parsing a string");
    ++p_;  // the backslash
    if (p_ == end_) return fail("EOF while parsing a string");
    char e = *p_++;
    switch (e) {
      case '"': out.push_back('"'); break;
      case '\\': out.push_back('\\'); break;
      case '/': out.push_back('/'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'u': {
        const char* escape_start = p_ - 2;
        uint32_t u;
        if (!hex4(u)) return false;
        if (u >= 0xDC00 && u <= 0xDFFF) {
          return fail("lone trailing surrogate in hex escape", escape_start);
        }
        if (u >= 0xD800 && u <= 0xDBFF) {
          if (p_ + 1 >= end_ || p_[0] != '\\' || p_[1] != 'u') {
            return fail("lone leading surrogate in hex escape", escape_start);
          }
          p_ += 2;
          uint32_t low;
          if (!hex4(low)) return false;
          if (low < 0xDC00 || low > 0xDFFF) {
            return fail("lone leading surrogate in hex escape", escape_start);
          }
          u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
        }
        utf8::encode(u, out);
        break;
      }
      default:
        return fail("invalid escape", p_ - 1);
    }
  }
}

// One number literal, read by the store's exact rule (see read_number).
struct Number {
  Kind kind = Kind::UInt;  // UInt, Int or Float
  uint64_t u = 0;
  int64_t i = 0;
  double f = 0;
};

// Reads the number literal at p (a minus sign or a digit), advancing p past
// what it read.  Returns nothing on success, else the error description
// (the position of the error is where p stopped).
//
// The conversion is a fast one that is not always correctly rounded; the
// floats it yields decide the canonical text and thus the hashes, so it must
// not change: digits that no longer fit the 64-bit significand are dropped
// (integer digits scale the exponent, fraction digits are ignored), and the
// significand is scaled by the correctly rounded powers of ten.
const char* read_number(const char*& p, const char* end, Number& out) {
  bool negative = false;
  if (*p == '-') {
    negative = true;
    ++p;
  }
  if (p == end || !is_digit(*p)) return "invalid number";

  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  auto overflows = [](uint64_t sig, unsigned d) {
    return sig > kMax / 10 || (sig == kMax / 10 && d > kMax % 10);
  };

  uint64_t significand = 0;
  int64_t exponent = 0;
  bool is_float = false;
  long held = 0;  // digits in the significand, as far as that bound matters
  if (*p == '0') {
    ++p;
    if (p < end && is_digit(*p)) return "invalid number";
  } else {
    const char* digits = p;
    while (p < end && is_digit(*p)) {
      auto d = static_cast<unsigned>(*p - '0');
      if (overflows(significand, d)) {
        // Too many integer digits: the rest only scale the value.
        is_float = true;
        while (p < end && is_digit(*p)) {
          ++exponent;
          ++p;
        }
        break;
      }
      significand = significand * 10 + d;
      ++p;
    }
    held = is_float ? 19 : p - digits;
  }
  if (p < end && *p == '.') {
    is_float = true;
    ++p;
    if (p == end || !is_digit(*p)) return "invalid number";
    // Digits are taken while the significand has room; the rest are
    // passed over.
    const char* digits = p;
    if (held < 19) {
      // A significand of at most `held` digits takes 19 - held more
      // without a check.
      const char* stop = end - p > 19 - held ? p + (19 - held) : end;
      while (p < stop && is_digit(*p)) significand = significand * 10 + static_cast<unsigned>(*p++ - '0');
    }
    while (p < end && is_digit(*p)) {
      auto d = static_cast<unsigned>(*p - '0');
      if (overflows(significand, d)) break;
      significand = significand * 10 + d;
      ++p;
    }
    exponent -= p - digits;
    while (p < end && is_digit(*p)) ++p;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    is_float = true;
    ++p;
    bool exp_negative = false;
    if (p < end && *p == '+') {
      ++p;
    } else if (p < end && *p == '-') {
      exp_negative = true;
      ++p;
    }
    if (p == end || !is_digit(*p)) return "invalid number";
    constexpr int32_t kIntMax = std::numeric_limits<int32_t>::max();
    int32_t e = 0;
    bool exp_overflow = false;
    while (p < end && is_digit(*p)) {
      auto d = *p - '0';
      if (!exp_overflow && (e > kIntMax / 10 || (e == kIntMax / 10 && d > kIntMax % 10))) {
        exp_overflow = true;
      }
      if (!exp_overflow) e = e * 10 + d;
      ++p;
    }
    if (exp_overflow) {
      if (significand != 0 && !exp_negative) return "number out of range";
      out.kind = Kind::Float;
      out.f = negative ? -0.0 : 0.0;
      return nullptr;
    }
    // The exponent is a 32-bit quantity that saturates.
    int64_t sum = exp_negative ? exponent - e : exponent + e;
    exponent = std::clamp<int64_t>(sum, std::numeric_limits<int32_t>::min(), kIntMax);
  }
  if (!is_float) {
    if (!negative) {
      out.kind = Kind::UInt;
      out.u = significand;
    } else if (significand != 0 && significand <= (uint64_t{1} << 63)) {
      out.kind = Kind::Int;
      out.i = static_cast<int64_t>(0 - significand);
    } else {
      out.kind = Kind::Float;
      out.f = -static_cast<double>(significand);
    }
    return nullptr;
  }
  double f = static_cast<double>(significand);
  for (;;) {
    int64_t mag = exponent < 0 ? -exponent : exponent;
    if (mag <= 308) {
      if (exponent >= 0) {
        f *= kPow10[mag];
        if (std::isinf(f)) return "number out of range";
      } else {
        f /= kPow10[mag];
      }
      break;
    }
    if (f == 0) break;
    if (exponent >= 0) return "number out of range";
    f /= 1e308;
    exponent += 308;
  }
  out.kind = Kind::Float;
  out.f = negative ? -f : f;
  return nullptr;
}

bool Parser::number(Value& out) {
  Number n;
  if (const char* error = read_number(p_, end_, n)) return fail(error);
  switch (n.kind) {
    case Kind::UInt: out = Value::uint(n.u); break;
    case Kind::Int: out = Value::integer(n.i); break;
    default: out = Value::real(n.f); break;
  }
  return true;
}

}  // namespace

std::optional<Value> parse(std::string_view text, ParseError* error) {
  Parser parser(text);
  Value v;
  if (parser.value(v) && parser.finish()) return v;
  parser.report(error);
  return std::nullopt;
}

std::optional<std::vector<Member>> parse_members(std::string_view text) {
  Parser parser(text);
  std::vector<Member> members;
  if (!parser.top_level_members(members)) return std::nullopt;
  return members;
}

// ---------------------------------------------------------------------------
// Writer

void write_string(std::string& out, std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  const char* p = s.data();
  const char* const end = p + s.size();
  // The text is written in place into room made in `out`: room for the
  // rest of the input as it is, a block's overrun and an escape is kept,
  // and more is made when escapes have used it up.
  constexpr size_t kSlack = 32;
  size_t used = out.size();
  out.resize(used + s.size() + 2 * kSlack);
  char* o = out.data() + used;
  char* limit = out.data() + out.size();
  *o++ = '"';
  for (;;) {
#ifdef __SSE2__
    // Runs that need no escape are copied sixteen bytes at a time.
    while (end - p >= 16) {
      unsigned mask = escape_mask(p);
      std::memcpy(o, p, 16);
      if (mask) {
        auto n = static_cast<unsigned>(__builtin_ctz(mask));
        p += n;
        o += n;
        break;
      }
      p += 16;
      o += 16;
    }
#endif
    while (p < end && !needs_escape(static_cast<unsigned char>(*p))) *o++ = *p++;
    if (p == end) break;
    if (limit - o < end - p + static_cast<std::ptrdiff_t>(kSlack)) {
      used = static_cast<size_t>(o - out.data());
      out.resize(used + static_cast<size_t>(end - p) * 2 + 2 * kSlack);
      o = out.data() + used;
      limit = out.data() + out.size();
    }
    auto c = static_cast<unsigned char>(*p++);
    *o++ = '\\';
    switch (c) {
      case '"': *o++ = '"'; break;
      case '\\': *o++ = '\\'; break;
      case '\b': *o++ = 'b'; break;
      case '\t': *o++ = 't'; break;
      case '\n': *o++ = 'n'; break;
      case '\f': *o++ = 'f'; break;
      case '\r': *o++ = 'r'; break;
      default: {
        const char esc[5] = {'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        std::memcpy(o, esc, 5);
        o += 5;
      }
    }
  }
  *o++ = '"';
  out.resize(static_cast<size_t>(o - out.data()));
}

void write_uint(std::string& out, uint64_t u) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, u);
  out.append(buf, r.ptr);
}

void write_int(std::string& out, int64_t i) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, i);
  out.append(buf, r.ptr);
}

// The float layout into `buf` (at least 32 bytes); returns the end.
static char* format_float(char* buf, double d) {
  char* o = buf;
  if (d == 0) {
    if (std::signbit(d)) *o++ = '-';
    std::memcpy(o, "0.0", 3);
    return o + 3;
  }
  // The shortest digits that read back to d, in scientific form:
  // [-]D[.DDD]e(+|-)XX.
  char sci[40];
  auto r = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific);
  const char* p = sci;
  if (*p == '-') {
    *o++ = '-';
    ++p;
  }
  char digits[20];
  int n = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  ++p;  // 'e'
  int e = 0;
  std::from_chars(*p == '+' ? p + 1 : p, r.ptr, e);

  if (e >= -5 && e <= 15) {
    if (e >= n - 1) {
      std::memcpy(o, digits, static_cast<size_t>(n));
      o += n;
      std::memset(o, '0', static_cast<size_t>(e - n + 1));
      o += e - n + 1;
      *o++ = '.';
      *o++ = '0';
    } else if (e >= 0) {
      std::memcpy(o, digits, static_cast<size_t>(e + 1));
      o += e + 1;
      *o++ = '.';
      std::memcpy(o, digits + e + 1, static_cast<size_t>(n - e - 1));
      o += n - e - 1;
    } else {
      *o++ = '0';
      *o++ = '.';
      std::memset(o, '0', static_cast<size_t>(-e - 1));
      o += -e - 1;
      std::memcpy(o, digits, static_cast<size_t>(n));
      o += n;
    }
    return o;
  }
  *o++ = digits[0];
  if (n > 1) {
    *o++ = '.';
    std::memcpy(o, digits + 1, static_cast<size_t>(n - 1));
    o += n - 1;
  }
  *o++ = 'e';
  *o++ = e >= 0 ? '+' : '-';
  return std::to_chars(o, buf + 32, e >= 0 ? e : -e).ptr;
}

void write_float(std::string& out, double d) {
  char buf[32];
  out.append(buf, format_float(buf, d));
}

void write_string_array(std::string& out, const std::vector<std::string>& items) {
  out.push_back('[');
  for (size_t i = 0; i < items.size(); ++i) {
    if (i) out.push_back(',');
    write_string(out, items[i]);
  }
  out.push_back(']');
}

void write(std::string& out, const Value& v) {
  switch (v.kind()) {
    case Kind::Null: out += "null"; break;
    case Kind::Bool: out += *v.as_bool() ? "true" : "false"; break;
    case Kind::UInt: write_uint(out, *v.as_uint()); break;
    case Kind::Int: write_int(out, *v.as_int()); break;
    case Kind::Float: write_float(out, *v.as_float()); break;
    case Kind::String: write_string(out, *v.as_string()); break;
    case Kind::Array: {
      out.push_back('[');
      bool first = true;
      for (const Value& item : *v.as_array()) {
        if (!first) out.push_back(',');
        first = false;
        write(out, item);
      }
      out.push_back(']');
      break;
    }
    case Kind::Object: {
      out.push_back('{');
      bool first = true;
      for (const auto& [key, value] : *v.as_object()) {
        if (!first) out.push_back(',');
        first = false;
        write_string(out, key);
        out.push_back(':');
        write(out, value);
      }
      out.push_back('}');
      break;
    }
  }
}

std::string to_string(const Value& v) {
  std::string out;
  write(out, v);
  return out;
}

}  // namespace vl::json

// ---------------------------------------------------------------------------
// Canonical text straight from JSON text
//
// One pass over the text writes the canonical bytes into a buffer; no value
// tree is built.  Strings, numbers and literals are written as they are
// read.  Each object's members are written in document order while their
// positions are noted; when the keys were not already strictly ascending,
// the member texts are put into key order (the last of a repeated key
// winning) through a scratch buffer once the object is closed.  Number
// literals that are already canonical are copied, and a string's raw bytes
// are copied in blocks and checked as UTF-8 as a whole.  Every buffer
// belongs to the thread and is reused, so a thread that hashes line after
// line allocates only while its buffers grow to the longest line.

namespace vl::json {
namespace {

// The word-at-a-time scans below read bytes in memory order from the low end.
static_assert(std::endian::native == std::endian::little);

// True when the plain decimal literal int.frac (without its sign; `int` is
// "0" or has no leading zero, `frac` is not empty) is already the canonical
// text of the float the reader takes it for.  That holds with at most 15
// significant digits, no superfluous zero and a value in the plain layout's
// range:
//  - the reader's significand (below 10^15 < 2^53) and the power of ten it
//    divides by (at most 10^19) are exact, so the float is the correctly
//    rounded value of the literal;
//  - a decimal of at most 15 significant digits is the only one of its
//    length or shorter that reads as that float (15 digits always survive a
//    trip through a double), so the shortest digits are the literal's own;
//  - and the layout writes them back as they stand.
inline bool plain_float_is_canonical(const char* int_part, size_t int_len, const char* frac, size_t frac_len) {
  bool frac_is_zero = frac_len == 1 && frac[0] == '0';
  if (int_part[0] != '0') {
    // D.0 is exact while D * 10 stays below 2^53.
    if (frac_is_zero) return int_len <= 14;
    return frac[frac_len - 1] != '0' && int_len + frac_len <= 15;
  }
  if (frac_is_zero) return true;  // 0.0 and -0.0
  if (frac[frac_len - 1] == '0') return false;
  size_t zeros = 0;
  while (frac[zeros] == '0') ++zeros;
  return zeros <= 4 && frac_len - zeros <= 15;
}

// Copies the number literal at p when it is its own canonical text: an
// integer that surely fits 64 bits (not "-0", which reads as the float
// -0.0), or a plain decimal that passes plain_float_is_canonical.  Returns
// false, having moved nothing, for any other literal (exponents, long
// digit strings, malformed ones), which then takes the reader's full
// conversion.  The buffer has room for the literal.
inline bool copy_canonical_number(const char*& p, const char* end, char*& o) {
  const char* q = p;
  if (*q == '-') ++q;
  const char* int_part = q;
  while (q < end && is_digit(*q)) ++q;
  auto int_len = static_cast<size_t>(q - int_part);
  if (int_len == 0 || (int_part[0] == '0' && int_len > 1)) return false;
  if (q < end && *q == '.') {
    const char* frac = ++q;
    while (q < end && is_digit(*q)) ++q;
    auto frac_len = static_cast<size_t>(q - frac);
    if (frac_len == 0 || !plain_float_is_canonical(int_part, int_len, frac, frac_len)) return false;
  } else if (int_part[0] == '0' ? int_part != p : int_len > 18) {
    return false;
  }
  if (q < end && (*q == 'e' || *q == 'E')) return false;
  std::memcpy(o, p, static_cast<size_t>(q - p));
  o += q - p;
  p = q;
  return true;
}

// True when [s, e) is valid UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).  Runs of ASCII are passed eight bytes at a time.
inline bool valid_utf8(const char* s, const char* e) {
  while (s < e) {
    if (e - s >= 8) {
      uint64_t w;
      std::memcpy(&w, s, 8);
      uint64_t top = w & 0x8080808080808080ULL;
      if (top == 0) {
        s += 8;
        continue;
      }
      s += __builtin_ctzll(top) >> 3;  // to the first byte from 0x80 up
    } else if (static_cast<unsigned char>(*s) < 0x80) {
      ++s;
      continue;
    }
    auto b0 = static_cast<unsigned char>(*s);
    size_t left = static_cast<size_t>(e - s);
    auto b1 = left > 1 ? static_cast<unsigned char>(s[1]) : 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      if ((b1 & 0xC0) != 0x80) return false;
      s += 2;
      continue;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
      unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80, hi = b0 == 0xED ? 0x9F : 0xBF;
      if (left < 3 || b1 < lo || b1 > hi || (static_cast<unsigned char>(s[2]) & 0xC0) != 0x80) return false;
      s += 3;
      continue;
    }
    char32_t cp;
    size_t n = utf8::decode(std::string_view(s, left), &cp);
    if (n == 0) return false;
    s += n;
  }
  return true;
}

#ifdef __x86_64__
// The same check 32 bytes at a time with AVX2 table lookups, for
// processors that have it (see valid_utf8_text).  Each byte is classified
// by three 16-entry tables (one copy in each 16-byte lane): the high and
// low half of the byte before it and its own high half.  A bit that
// survives in all three names an error that pair of bytes shows (a lead
// byte without its continuation, a stray continuation, an overlong form, a
// surrogate, a code point above U+10FFFF); the third and fourth bytes of a
// sequence are told apart by the lead two and three places back.  A
// sequence cut by the end of the range is an error too.  (Texts of at
// least 64 bytes.)
// A 16-entry table in both lanes.
[[gnu::target("avx2")]] inline __m256i lane_table(const std::array<char, 16>& t) {
  return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.data())));
}

[[gnu::target("avx2")]] bool valid_utf8_avx2(const char* s, const char* e) {
  constexpr char kTooShort = 1 << 0, kTooLong = 1 << 1, kOverlong3 = 1 << 2, kTooLarge = 1 << 3,
                 kSurrogate = 1 << 4, kOverlong2 = 1 << 5, kTooLarge1000 = 1 << 6, kOverlong4 = 1 << 6,
                 kTwoConts = static_cast<char>(1 << 7);
  constexpr char kCarry = kTooShort | kTooLong | kTwoConts;
  constexpr char kLarge = kCarry | kTooLarge | kTooLarge1000;
  const __m256i byte1_high = lane_table({kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong,
                                    kTooLong,  // 0___: ASCII
                                    kTwoConts, kTwoConts, kTwoConts, kTwoConts,  // 10__: continuation
                                    kTooShort | kOverlong2,                      // 1100
                                    kTooShort,                                   // 1101
                                    kTooShort | kOverlong3 | kSurrogate,         // 1110
                                    kTooShort | kTooLarge | kTooLarge1000 | kOverlong4});  // 1111
  const __m256i byte1_low = lane_table({kCarry | kOverlong3 | kOverlong2 | kOverlong4,  // ___0000
                                   kCarry | kOverlong2,                            // ___0001
                                   kCarry, kCarry,                                 // ___001_
                                   kCarry | kTooLarge,                             // ___0100
                                   kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge, kLarge,
                                   kLarge | kSurrogate,  // ___1101
                                   kLarge, kLarge});
  const __m256i byte2_high = lane_table({kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
                                    kTooShort,  // 0___
                                    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,  // 1000
                                    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,  // 1001
                                    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,  // 101_
                                    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
                                    kTooShort, kTooShort, kTooShort, kTooShort});  // 11__
  // The largest byte each of the last three places may hold and not start
  // a sequence that continues past the block.
  std::array<char, 32> last{};
  last.fill(-1);
  last[29] = static_cast<char>(0xEF);
  last[30] = static_cast<char>(0xDF);
  last[31] = static_cast<char>(0xBF);
  const __m256i last_max = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(last.data()));
  const __m256i nibble = _mm256_set1_epi8(0x0F);
  __m256i previous = _mm256_setzero_si256(), incomplete = _mm256_setzero_si256(), error = _mm256_setzero_si256();
  // (A lambda would not take the function's target.)
#define VL_UTF8_BLOCK(load)                                                                                        \
  do {                                                                                                             \
    const __m256i in = (load);                                                                                     \
    if (_mm256_movemask_epi8(in) == 0) {                                                                           \
      error = _mm256_or_si256(error, incomplete);                                                                  \
      incomplete = _mm256_setzero_si256();                                                                         \
    } else {                                                                                                       \
      /* The 32 bytes before each place: the previous block's top lane, then this block's bottom one. */          \
      const __m256i before = _mm256_permute2x128_si256(previous, in, 0x21);                                        \
      const __m256i prev1 = _mm256_alignr_epi8(in, before, 15);                                                    \
      const __m256i special = _mm256_and_si256(                                                                    \
          _mm256_and_si256(_mm256_shuffle_epi8(byte1_high, _mm256_and_si256(_mm256_srli_epi16(prev1, 4), nibble)), \
                           _mm256_shuffle_epi8(byte1_low, _mm256_and_si256(prev1, nibble))),                       \
          _mm256_shuffle_epi8(byte2_high, _mm256_and_si256(_mm256_srli_epi16(in, 4), nibble)));                   \
      const __m256i third = _mm256_subs_epu8(_mm256_alignr_epi8(in, before, 14), _mm256_set1_epi8(0xE0 - 0x80));  \
      const __m256i fourth = _mm256_subs_epu8(_mm256_alignr_epi8(in, before, 13), _mm256_set1_epi8(0xF0 - 0x80)); \
      const __m256i must_continue =                                                                                \
          _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));             \
      error = _mm256_or_si256(error, _mm256_xor_si256(must_continue, special));                                    \
      incomplete = _mm256_subs_epu8(in, last_max);                                                                 \
    }                                                                                                              \
    previous = in;                                                                                                 \
  } while (0)
  for (; e - s >= 32; s += 32) VL_UTF8_BLOCK(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s)));
  if (s < e) {
    // The last 32 bytes, some of them checked already, are checked (again)
    // after the 32 before them.
    previous = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(e - 64));
    VL_UTF8_BLOCK(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(e - 32)));
  }
#undef VL_UTF8_BLOCK
  error = _mm256_or_si256(error, incomplete);
  return _mm256_testz_si256(error, error);
}
#endif

// valid_utf8, by blocks where the processor allows and the text is long
// enough for it to pay.
inline bool valid_utf8_text(const char* s, const char* e) {
#ifdef __x86_64__
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (e - s >= 64 && avx2) return valid_utf8_avx2(s, e);
#endif
  return valid_utf8(s, e);
}

}  // namespace

class Canonicalizer {
 public:
  // Writes the canonical text of `text` (exactly one JSON value, optionally
  // surrounded by white space) into the buffer; false when it is not.
  //
  // The grammar is walked without recursion: open arrays and objects are
  // kept on a small stack, so the read and write positions stay in
  // registers across the whole text.  (Kept out of interprocedural
  // optimisation: specialised for the one thread-local object, the code
  // would look up that object's address for every member it touches.)
  [[gnu::noipa]] bool run(std::string_view text) {
    const char* p = text.data();
    const char* const end = p + text.size();
    reserve(0, text.size() + 64);
    char* o = buf_.get();
    text_begin_ = o;
    size_t members = 0;  // entries of members_ in use
    arena_.clear();
    facts_ = CanonicalFacts{};
    int depth = 0;

    auto skip_ws = [&] {
      while (p < end && is_ws(*p)) ++p;
    };

  value:
    skip_ws();
    if (p == end) return false;
    switch (*p) {
      case '"':
        ++p;
        if (!string(p, end, o)) return false;
        goto after_value;
      case '{':
      case '[': {
        if (depth == kMaxDepth) return false;
        Frame& f = stack_[depth++];
        facts_.depth = std::max(facts_.depth, depth);
        f.is_object = *p == '{';
        f.open = static_cast<size_t>(o - buf_.get());
        f.first_member = members;
        f.arena_mark = arena_.size();
        f.ascending = true;
        *o++ = *p++;
        skip_ws();
        if (p < end && *p == (f.is_object ? '}' : ']')) {
          *o++ = *p++;
          --depth;
          goto after_value;
        }
        if (f.is_object) goto member;
        goto value;
      }
      case 't':
        if (!literal(p, end, o, "true", 4)) return false;
        goto after_value;
      case 'f':
        if (!literal(p, end, o, "false", 5)) return false;
        goto after_value;
      case 'n':
        if (!literal(p, end, o, "null", 4)) return false;
        goto after_value;
      default: {
        if (*p != '-' && !is_digit(*p)) return false;
        if (copy_canonical_number(p, end, o)) goto after_value;
        const char* start = p;
        Number n;
        if (read_number(p, end, n)) return false;
        size_t len = static_cast<size_t>(p - start);
        if (n.kind != Kind::Float) {
          // An integer literal is its own canonical text: the grammar
          // allows no leading zeros and no plus sign.
          std::memcpy(o, start, len);
          o += len;
        } else {
          // Only a converted float can write more than it read.
          size_t used = static_cast<size_t>(o - buf_.get());
          o = reserve(used, used + static_cast<size_t>(end - p) + 64);
          o = format_float(o, n.f);
          std::string_view literal(start, len);
          if (literal != "-0" && literal.find_first_of(".eE") == std::string_view::npos) facts_.wide_integer = true;
        }
        goto after_value;
      }
    }

  member: {
    // At the opening quote of a member's key, inside the object on top.
    if (p == end || *p != '"') return false;
    ++p;
    const char* key_text_in = p;
    MemberRef m;
    m.seg_start = static_cast<size_t>(o - buf_.get());
    m.key_start = m.seg_start + 1;
    escaped_ = false;
    if (!string(p, end, o)) return false;
    m.key_len = static_cast<size_t>(o - buf_.get()) - 1 - m.key_start;
    m.key_in_arena = false;
    if (escaped_) {
      std::string_view key_text(buf_.get() + m.key_start, m.key_len);
      // The canonical escapes stand for other bytes; keys are ordered by
      // their bytes, so keep the decoded key for the comparison.
      m.key_start = arena_.size();
      decode_canonical(key_text, arena_);
      m.key_len = arena_.size() - m.key_start;
      m.key_in_arena = true;
    }
    // A key written as it was read (escapes always shorten it) has its
    // prefix read from the text rather than from bytes just written.
    if (!m.key_in_arena && static_cast<size_t>(p - 1 - key_text_in) == m.key_len && end - key_text_in >= 8) {
      m.prefix = key_prefix_of_bytes(key_text_in, m.key_len);
    } else {
      m.prefix = key_prefix(key_of(m));
    }
    Frame& f = stack_[depth - 1];
    if (f.ascending && members > f.first_member && compare_keys(members_[members - 1], m) >= 0) {
      f.ascending = false;
    }
    if (members == members_cap_) grow_members();
    members_[members++] = m;
    skip_ws();
    if (p == end || *p != ':') return false;
    ++p;
    *o++ = ':';
    goto value;
  }

  after_value:
    if (depth == 0) {
      skip_ws();
      text_end_ = o;
      return p == end;
    }
    {
      Frame& f = stack_[depth - 1];
      if (f.is_object) members_[members - 1].seg_end = static_cast<size_t>(o - buf_.get());
      skip_ws();
      if (p == end) return false;
      if (*p == ',') {
        ++p;
        *o++ = ',';
        if (f.is_object) {
          skip_ws();
          goto member;
        }
        goto value;
      }
      if (*p != (f.is_object ? '}' : ']')) return false;
      ++p;
      if (f.is_object) {
        if (!f.ascending) o = reorder(f.open, f.first_member, members, depth == 1);
        members = f.first_member;
        arena_.resize(f.arena_mark);
        *o++ = '}';
      } else {
        *o++ = ']';
      }
      --depth;
      goto after_value;
    }
  }

  std::string_view text() const { return {text_begin_, static_cast<size_t>(text_end_ - text_begin_)}; }
  // What the last text held (as far as it was read).
  const CanonicalFacts& facts() const { return facts_; }

 private:
  // An open array or object.
  struct Frame {
    size_t open;          // where its bracket was written
    size_t first_member;  // its first entry in members_ (objects)
    size_t arena_mark;    // the arena's size when it opened
    bool is_object;
    bool ascending;       // keys so far in strictly ascending order
  };

  // A member of an open object: where its text lies in the buffer (from
  // the key's opening quote to the end of the value), and where its key's
  // bytes can be compared: the key text inside the quotes, or the decoded
  // bytes in the arena when the key text holds escapes.
  struct MemberRef {
    uint64_t prefix;  // see key_prefix
    size_t seg_start, seg_end;
    size_t key_start, key_len;
    bool key_in_arena;
  };

  // Makes room for `need` bytes, keeping the first `used`; returns the
  // write position.  The buffer always has room for what the text left to
  // read can produce without converted floats (strings, literals and
  // punctuation never write more than they read) plus a margin.
  char* reserve(size_t used, size_t need) {
    if (need > cap_) {
      size_t cap = std::max(need, cap_ * 2);
      std::unique_ptr<char[]> grown(new char[cap]);
      if (used) std::memcpy(grown.get(), buf_.get(), used);
      buf_ = std::move(grown);
      cap_ = cap;
    }
    return buf_.get() + used;
  }

  void grow_members() {
    size_t cap = std::max<size_t>(64, members_cap_ * 2);
    std::unique_ptr<MemberRef[]> grown(new MemberRef[cap]);
    if (members_cap_) std::memcpy(grown.get(), members_.get(), members_cap_ * sizeof(MemberRef));
    members_ = std::move(grown);
    members_cap_ = cap;
  }

  std::string_view key_of(const MemberRef& m) const {
    const char* base = m.key_in_arena ? arena_.data() : buf_.get();
    return {base + m.key_start, m.key_len};
  }

  // The first eight bytes of a key as a big-endian number, zero-padded:
  // keys whose prefixes differ are ordered as their prefixes are.
  static uint64_t key_prefix(std::string_view key) {
    unsigned char b[8] = {};
    std::memcpy(b, key.data(), std::min<size_t>(key.size(), 8));
    uint64_t v = 0;
    for (unsigned char c : b) v = v << 8 | c;
    return v;
  }

  // The same for a key of `len` bytes at `key` with at least eight bytes
  // readable there.
  static uint64_t key_prefix_of_bytes(const char* key, size_t len) {
    uint64_t v;
    std::memcpy(&v, key, 8);
    v = __builtin_bswap64(v);
    return len >= 8 ? v : len == 0 ? 0 : v & ~(~uint64_t{0} >> (8 * len));
  }

  // Byte order of two members' keys: negative, zero or positive.
  int compare_keys(const MemberRef& a, const MemberRef& b) const {
    if (a.prefix != b.prefix) return a.prefix < b.prefix ? -1 : 1;
    // Equal padded prefixes of keys of at most eight bytes: the shorter
    // key is the longer one cut before zero bytes.
    if (a.key_len <= 8 && b.key_len <= 8) return static_cast<int>(a.key_len) - static_cast<int>(b.key_len);
    return key_of(a).compare(key_of(b));
  }

  static bool literal(const char*& p, const char* end, char*& o, const char* word, size_t n) {
    if (static_cast<size_t>(end - p) < n || std::memcmp(p, word, n) != 0) return false;
    std::memcpy(o, word, n);
    o += n;
    p += n;
    return true;
  }

  // One character given by a \u escape, in the canonical string form.
  [[gnu::always_inline]] static void put_char(char*& o, uint32_t c) {
    static constexpr char kHex[] = "0123456789abcdef";
    if (c >= 0x80) {
      struct Sink {
        char*& o;
        void push_back(char ch) { *o++ = ch; }
      } sink{o};
      utf8::encode(static_cast<char32_t>(c), sink);
      return;
    }
    switch (c) {
      case '"': *o++ = '\\'; *o++ = '"'; return;
      case '\\': *o++ = '\\'; *o++ = '\\'; return;
      case '\b': *o++ = '\\'; *o++ = 'b'; return;
      case '\t': *o++ = '\\'; *o++ = 't'; return;
      case '\n': *o++ = '\\'; *o++ = 'n'; return;
      case '\f': *o++ = '\\'; *o++ = 'f'; return;
      case '\r': *o++ = '\\'; *o++ = 'r'; return;
      default:
        if (c < 0x20) {
          const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
          std::memcpy(o, esc, 6);
          o += 6;
        } else {
          *o++ = static_cast<char>(c);
        }
    }
  }

  static bool hex4(const char*& p, const char* end, uint32_t& out) {
    if (end - p < 4) return false;
    uint32_t v = kHexValue[static_cast<unsigned char>(p[0])] << 12 | kHexValue[static_cast<unsigned char>(p[1])] << 8 |
                 kHexValue[static_cast<unsigned char>(p[2])] << 4 | kHexValue[static_cast<unsigned char>(p[3])];
    if (v > 0xFFFF) return false;  // a byte that is not a hex digit
    out = v;
    p += 4;
    return true;
  }

  // Copies the run of bytes at p that a string takes over unchanged: all
  // but the quote, the backslash and control characters.  Returns whether
  // the run held a byte from 0x80 up (to be checked as UTF-8 later).
  // Whole 16-byte blocks are stored before they are checked: the buffer
  // always has room for the rest of the text.
  [[gnu::always_inline]] static bool copy_run(const char*& p, const char* end, char*& o) {
    const char* s = p;
    char* d = o;
    bool high = false;
#ifdef __SSE2__
    while (end - s >= 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d), v);
      unsigned stop = escape_mask(v);
      auto top = static_cast<unsigned>(_mm_movemask_epi8(v));
      if (stop) {
        auto n = static_cast<unsigned>(__builtin_ctz(stop));
        high |= (top & ((1u << n) - 1)) != 0;
        p = s + n;
        o = d + n;
        return high;
      }
      high |= top != 0;
      s += 16;
      d += 16;
    }
#endif
    while (s < end) {
      auto c = static_cast<unsigned char>(*s);
      if (needs_escape(c)) break;
      high |= c >= 0x80;
      *d++ = static_cast<char>(c);
      ++s;
    }
    p = s;
    o = d;
    return high;
  }

  // The opening quote read; writes the whole canonical string.  Sets
  // escaped_ when the canonical text holds an escape.
  bool string(const char*& p_in, const char* end, char*& o_in) {
    // The positions live in registers while the string is read.
    const char* p = p_in;
    char* o = o_in;
    bool ok = string_body(p, end, o);
    p_in = p;
    o_in = o;
    return ok;
  }

  [[gnu::always_inline]] bool string_body(const char*& p, const char* end, char*& o) {
    *o++ = '"';
    char* content = o;
    bool high = false;
    for (;;) {
      high |= copy_run(p, end, o);
    stopped:
      if (p == end) return false;
      char c = *p;
      if (c == '"') {
        ++p;
        // Raw bytes are checked as a whole; what the escapes wrote is valid
        // and, being whole characters, cannot complete a broken sequence.
        if (high && !valid_utf8_text(content, o)) return false;
        *o++ = '"';
        return true;
      }
      if (c != '\\') return false;  // a control character
      if (end - p < 2) return false;
      char e = p[1];
      p += 2;
      switch (e) {
        case '"': *o++ = '\\'; *o++ = '"'; escaped_ = true; break;
        case '\\': *o++ = '\\'; *o++ = '\\'; escaped_ = true; break;
        case '/': *o++ = '/'; break;
        case 'b': *o++ = '\\'; *o++ = 'b'; escaped_ = true; break;
        case 'f': *o++ = '\\'; *o++ = 'f'; escaped_ = true; break;
        case 'n': *o++ = '\\'; *o++ = 'n'; escaped_ = true; break;
        case 'r': *o++ = '\\'; *o++ = 'r'; escaped_ = true; break;
        case 't': *o++ = '\\'; *o++ = 't'; escaped_ = true; break;
        case 'u': {
          uint32_t u;
          if (!hex4(p, end, u)) return false;
          if (u >= 0xDC00 && u <= 0xDFFF) return false;
          if (u >= 0xD800 && u <= 0xDBFF) {
            if (end - p < 2 || p[0] != '\\' || p[1] != 'u') return false;
            p += 2;
            uint32_t low;
            if (!hex4(p, end, low) || low < 0xDC00 || low > 0xDFFF) return false;
            u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
          }
          if (u < 0x20 || u == '"' || u == '\\') escaped_ = true;
          put_char(o, u);
          break;
        }
        default:
          return false;
      }
      // Escaped text (such as non-ASCII text written with \u escapes)
      // often has escape after escape: no run to copy between them.
      if (p < end && *p == '\\') goto stopped;
    }
  }

  // Undoes the escapes of a canonical string's text.
  static void decode_canonical(std::string_view s, std::string& out) {
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] != '\\') {
        out.push_back(s[i]);
        continue;
      }
      char e = s[++i];
      switch (e) {
        case 'b': out.push_back('\b'); break;
        case 't': out.push_back('\t'); break;
        case 'n': out.push_back('\n'); break;
        case 'f': out.push_back('\f'); break;
        case 'r': out.push_back('\r'); break;
        case 'u':
          out.push_back(static_cast<char>(kHexValue[static_cast<unsigned char>(s[i + 3])] * 16 +
                                          kHexValue[static_cast<unsigned char>(s[i + 4])]));
          i += 4;
          break;
        default: out.push_back(e); break;  // the quote and the backslash
      }
    }
  }

  // Rewrites the members of the object opened at `open` (members_[first..end))
  // in ascending key order, keeping only the last of each repeated key;
  // returns the write position after them.  The outermost object (the
  // whole text) is written out again into the scratch buffer, where the
  // text then ends, rather than moved aside and back.
  char* reorder(size_t open, size_t first, size_t end, bool outermost) {
    size_t count = end - first;
    const MemberRef* m = members_.get() + first;
    if (order_.size() < count) order_.resize(count);
    size_t* order = order_.data();
    for (size_t i = 0; i < count; ++i) order[i] = i;
    auto before = [this, m](size_t a, size_t b) {
      int c = compare_keys(m[a], m[b]);
      return c != 0 ? c < 0 : a < b;
    };
    if (count <= 16) {
      for (size_t i = 1; i < count; ++i) {
        size_t item = order[i];
        size_t j = i;
        for (; j > 0 && before(item, order[j - 1]); --j) order[j] = order[j - 1];
        order[j] = item;
      }
    } else {
      std::sort(order, order + count, before);
    }
    // Of a repeated key only the last stays (keys are compared in the
    // buffer, so before any text moves).
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i) {
      if (i + 1 < count && compare_keys(m[order[i + 1]], m[order[i]]) == 0) continue;
      order[kept++] = order[i];
    }
    size_t start = open + 1, stop = m[count - 1].seg_end;
    const char* from;  // the members' text, from the key of members_[first]
    char* o;
    if (outermost) {
      // Room for what comes before the members, the members and the
      // closing brace.
      if (scratch_.size() < stop + 1) scratch_.resize(stop + 1);
      std::memcpy(scratch_.data(), buf_.get(), start);
      text_begin_ = scratch_.data();
      from = buf_.get() + start;
      o = scratch_.data() + start;
    } else {
      // The members' text moves aside once and comes back in order.
      if (scratch_.size() < stop - start) scratch_.resize(stop - start);
      std::memcpy(scratch_.data(), buf_.get() + start, stop - start);
      from = scratch_.data();
      o = buf_.get() + start;
    }
    for (size_t i = 0; i < kept; ++i) {
      const MemberRef& member = m[order[i]];
      if (i) *o++ = ',';
      size_t len = member.seg_end - member.seg_start;
      std::memcpy(o, from + (member.seg_start - start), len);
      o += len;
    }
    return o;
  }

  std::unique_ptr<char[]> buf_;
  size_t cap_ = 0;
  const char* text_begin_ = nullptr;  // buf_, or scratch_ once the outermost object is reordered
  const char* text_end_ = nullptr;
  bool escaped_ = false;
  CanonicalFacts facts_;
  Frame stack_[kMaxDepth];
  std::unique_ptr<MemberRef[]> members_;
  size_t members_cap_ = 0;
  std::vector<size_t> order_;
  std::string arena_;
  std::vector<char> scratch_;
};

CanonicalWriter::CanonicalWriter() : impl_(std::make_unique<Canonicalizer>()) {}
CanonicalWriter::~CanonicalWriter() = default;

std::optional<std::string_view> CanonicalWriter::text_of(std::string_view text, CanonicalFacts* facts) {
  bool ok = impl_->run(text);
  if (facts) *facts = impl_->facts();
  if (!ok) return std::nullopt;
  return impl_->text();
}

namespace {
thread_local CanonicalWriter t_writer;
}  // namespace

std::optional<std::string_view> canonical_text(std::string_view text, CanonicalFacts* facts) {
  return t_writer.text_of(text, facts);
}

}  // namespace vl::json
