#include "json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#ifdef __SSE2__
#include <emmintrin.h>
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

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

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
    char c = *p_;
    uint32_t d;
    if (c >= '0' && c <= '9') d = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f') d = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') d = static_cast<uint32_t>(c - 'A' + 10);
    else return fail("invalid escape");
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
    while (p_ < end_) {
      auto c = static_cast<unsigned char>(*p_);
      if (c < 0x80) {
        if (c == '"' || c == '\\' || c < 0x20) break;
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
  if (*p == '0') {
    ++p;
    if (p < end && is_digit(*p)) return "invalid number";
  } else {
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
  }
  if (p < end && *p == '.') {
    is_float = true;
    ++p;
    if (p == end || !is_digit(*p)) return "invalid number";
    bool full = false;
    while (p < end && is_digit(*p)) {
      auto d = static_cast<unsigned>(*p - '0');
      if (!full && overflows(significand, d)) full = true;
      if (!full) {
        significand = significand * 10 + d;
        --exponent;
      }
      ++p;
    }
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
  out.push_back('"');
  size_t run = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default: {
        char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        out.append(esc, 6);
      }
    }
  }
  out.append(s.data() + run, s.size() - run);
  out.push_back('"');
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
// winning) through a scratch buffer once the object is closed.  Every buffer
// belongs to the thread and is reused, so a thread that hashes line after
// line allocates only while its buffers grow to the longest line.

namespace vl::json {
namespace {

// True when one of the eight bytes of w is a quote, a backslash, a control
// character or not ASCII: the bytes a string run has to stop at.
inline bool has_special_byte(uint64_t w) {
  constexpr uint64_t k01 = 0x0101010101010101ULL, k80 = 0x8080808080808080ULL;
  uint64_t q = w ^ (k01 * '"');
  uint64_t b = w ^ (k01 * '\\');
  uint64_t t = ((w - k01 * 0x20) & ~w) | ((q - k01) & ~q) | ((b - k01) & ~b) | w;
  return (t & k80) != 0;
}

// Byte order of keys; most keys differ in their first byte.
inline bool key_less(std::string_view a, std::string_view b) {
  if (!a.empty() && !b.empty() && a[0] != b[0]) {
    return static_cast<unsigned char>(a[0]) < static_cast<unsigned char>(b[0]);
  }
  return a < b;
}

inline int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

class Canonicalizer {
 public:
  // Writes the canonical text of `text` (exactly one JSON value, optionally
  // surrounded by white space) into the buffer; false when it is not.
  bool run(std::string_view text) {
    p_ = text.data();
    end_ = p_ + text.size();
    reserve(text.size() + 64);
    o_ = buf_.get();
    members_.clear();
    arena_.clear();
    wide_integer_ = false;
    skip_ws();
    if (!value(0)) return false;
    skip_ws();
    return p_ == end_;
  }
  std::string_view text() const { return {buf_.get(), static_cast<size_t>(o_ - buf_.get())}; }
  // Whether the last text held an integer literal beyond the 64-bit ranges
  // (read as a float).
  bool wide_integer() const { return wide_integer_; }

 private:
  // A member of an open object: where its text lies in the buffer (from
  // the key's opening quote to the end of the value), and where its key's
  // bytes can be compared: the key text inside the quotes, or the decoded
  // bytes in the arena when the key text holds escapes.
  struct MemberRef {
    uint32_t seg_start, seg_end;
    uint32_t key_start, key_len;
    bool key_in_arena;
  };

  size_t used() const { return static_cast<size_t>(o_ - buf_.get()); }

  // Room for `extra` more bytes than the text left to read can produce
  // without numbers (strings, literals and punctuation never write more
  // than they read; only a number's canonical text can be longer).
  void reserve(size_t need) {
    size_t have_used = buf_ ? used() : 0;
    if (need <= cap_) return;
    size_t cap = std::max(need, cap_ * 2);
    std::unique_ptr<char[]> grown(new char[cap]);
    if (have_used) std::memcpy(grown.get(), buf_.get(), have_used);
    buf_ = std::move(grown);
    cap_ = cap;
    o_ = buf_.get() + have_used;
  }

  void skip_ws() {
    while (p_ < end_ && is_ws(*p_)) ++p_;
  }

  std::string_view key_of(const MemberRef& m) const {
    const char* base = m.key_in_arena ? arena_.data() : buf_.get();
    return {base + m.key_start, m.key_len};
  }

  bool value(int depth) {
    if (p_ == end_) return false;
    switch (*p_) {
      case '"':
        ++p_;
        return string();
      case '{':
        ++p_;
        return object(depth + 1);
      case '[':
        ++p_;
        return array(depth + 1);
      case 't': return literal("true", 4);
      case 'f': return literal("false", 5);
      case 'n': return literal("null", 4);
      default:
        if (*p_ == '-' || is_digit(*p_)) return number();
        return false;
    }
  }

  bool literal(const char* word, size_t n) {
    if (static_cast<size_t>(end_ - p_) < n || std::memcmp(p_, word, n) != 0) return false;
    std::memcpy(o_, word, n);
    o_ += n;
    p_ += n;
    return true;
  }

  bool number() {
    const char* start = p_;
    Number n;
    if (read_number(p_, end_, n)) return false;
    reserve(used() + static_cast<size_t>(end_ - p_) + 64);
    if (n.kind != Kind::Float) {
      // An integer literal is its own canonical text: the grammar allows
      // no leading zeros and no plus sign.
      size_t len = static_cast<size_t>(p_ - start);
      std::memcpy(o_, start, len);
      o_ += len;
    } else {
      o_ = format_float(o_, n.f);
      size_t len = static_cast<size_t>(p_ - start);
      std::string_view literal(start, len);
      if (literal != "-0" && literal.find_first_of(".eE") == std::string_view::npos) wide_integer_ = true;
    }
    return true;
  }

  // One character given by a \u escape, in the canonical string form.
  void put_char(uint32_t c) {
    static constexpr char kHex[] = "0123456789abcdef";
    if (c >= 0x80) {
      char tmp[4];
      char* t = tmp;
      struct Sink {
        char*& t;
        void push_back(char ch) { *t++ = ch; }
      } sink{t};
      utf8::encode(static_cast<char32_t>(c), sink);
      std::memcpy(o_, tmp, static_cast<size_t>(t - tmp));
      o_ += t - tmp;
      return;
    }
    switch (c) {
      case '"': *o_++ = '\\'; *o_++ = '"'; return;
      case '\\': *o_++ = '\\'; *o_++ = '\\'; return;
      case '\b': *o_++ = '\\'; *o_++ = 'b'; return;
      case '\t': *o_++ = '\\'; *o_++ = 't'; return;
      case '\n': *o_++ = '\\'; *o_++ = 'n'; return;
      case '\f': *o_++ = '\\'; *o_++ = 'f'; return;
      case '\r': *o_++ = '\\'; *o_++ = 'r'; return;
      default:
        if (c < 0x20) {
          const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
          std::memcpy(o_, esc, 6);
          o_ += 6;
        } else {
          *o_++ = static_cast<char>(c);
        }
    }
  }

  bool hex4(uint32_t& out) {
    if (end_ - p_ < 4) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
      int d = hex_digit(p_[i]);
      if (d < 0) return false;
      out = out * 16 + static_cast<uint32_t>(d);
    }
    p_ += 4;
    return true;
  }

  // Copies the leading run of bytes at p_ that a string takes over
  // unchanged without a second look: printable ASCII other than the quote
  // and the backslash.  (Whole 16-byte blocks are stored before they are
  // checked: the buffer always has room for the rest of the text.)
  void copy_plain_run() {
    const char* p = p_;
    char* o = o_;
#ifdef __SSE2__
    const __m128i quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\'),
                  space = _mm_set1_epi8(0x20);
    while (end_ - p >= 16) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
      // Signed compare: bytes below 0x20 and bytes from 0x80 up.
      __m128i special = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                                     _mm_cmplt_epi8(v, space));
      auto mask = static_cast<unsigned>(_mm_movemask_epi8(special));
      if (mask) {
        auto n = static_cast<unsigned>(__builtin_ctz(mask));
        p_ = p + n;
        o_ = o + n;
        return;
      }
      p += 16;
      o += 16;
    }
#endif
    while (end_ - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, 8);
      if (has_special_byte(w)) break;
      std::memcpy(o, &w, 8);
      p += 8;
      o += 8;
    }
    while (p < end_) {
      auto c = static_cast<unsigned char>(*p);
      if (c < 0x20 || c >= 0x80 || c == '"' || c == '\\') break;
      *o++ = static_cast<char>(c);
      ++p;
    }
    p_ = p;
    o_ = o;
  }

  // The opening quote read; writes the whole canonical string.  Sets
  // escaped_ when the canonical text holds an escape.
  bool string() {
    *o_++ = '"';
    for (;;) {
      copy_plain_run();
      if (p_ == end_) return false;
      auto c = static_cast<unsigned char>(*p_);
      if (c >= 0x80) {
        if (!multibyte_run()) return false;
        continue;
      }
      if (c == '"') {
        ++p_;
        *o_++ = '"';
        return true;
      }
      if (c < 0x20) return false;
      // A backslash.
      if (end_ - p_ < 2) return false;
      char e = p_[1];
      p_ += 2;
      switch (e) {
        case '"': *o_++ = '\\'; *o_++ = '"'; escaped_ = true; break;
        case '\\': *o_++ = '\\'; *o_++ = '\\'; escaped_ = true; break;
        case '/': *o_++ = '/'; break;
        case 'b': *o_++ = '\\'; *o_++ = 'b'; escaped_ = true; break;
        case 'f': *o_++ = '\\'; *o_++ = 'f'; escaped_ = true; break;
        case 'n': *o_++ = '\\'; *o_++ = 'n'; escaped_ = true; break;
        case 'r': *o_++ = '\\'; *o_++ = 'r'; escaped_ = true; break;
        case 't': *o_++ = '\\'; *o_++ = 't'; escaped_ = true; break;
        case 'u': {
          uint32_t u;
          if (!hex4(u)) return false;
          if (u >= 0xDC00 && u <= 0xDFFF) return false;
          if (u >= 0xD800 && u <= 0xDBFF) {
            if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
            p_ += 2;
            uint32_t low;
            if (!hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
          }
          if (u < 0x20 || u == '"' || u == '\\') escaped_ = true;
          put_char(u);
          break;
        }
        default:
          return false;
      }
    }
  }

  // Copies the run of non-ASCII characters at p_, checking that each is
  // valid UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
  bool multibyte_run() {
    const char* p = p_;
    char* o = o_;
    bool ok = true;
    while (p < end_) {
      auto b0 = static_cast<unsigned char>(p[0]);
      if (b0 < 0x80) break;
      size_t left = static_cast<size_t>(end_ - p);
      if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (left < 2 || (static_cast<unsigned char>(p[1]) & 0xC0) != 0x80) {
          ok = false;
          break;
        }
        std::memcpy(o, p, 2);
        o += 2;
        p += 2;
        continue;
      }
      if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (left < 3) {
          ok = false;
          break;
        }
        auto b1 = static_cast<unsigned char>(p[1]), b2 = static_cast<unsigned char>(p[2]);
        unsigned char lo = b0 == 0xE0 ? 0xA0 : 0x80, hi = b0 == 0xED ? 0x9F : 0xBF;
        if (b1 < lo || b1 > hi || (b2 & 0xC0) != 0x80) {
          ok = false;
          break;
        }
        std::memcpy(o, p, 3);
        o += 3;
        p += 3;
        continue;
      }
      char32_t cp;
      size_t n = utf8::decode(std::string_view(p, left), &cp);
      if (n == 0) {
        ok = false;
        break;
      }
      std::memcpy(o, p, n);
      o += n;
      p += n;
    }
    p_ = p;
    o_ = o;
    return ok;
  }

  bool array(int depth) {
    if (depth > kMaxDepth) return false;
    *o_++ = '[';
    skip_ws();
    if (p_ < end_ && *p_ == ']') {
      ++p_;
      *o_++ = ']';
      return true;
    }
    for (;;) {
      skip_ws();
      if (!value(depth)) return false;
      skip_ws();
      if (p_ == end_) return false;
      if (*p_ == ']') {
        ++p_;
        *o_++ = ']';
        return true;
      }
      if (*p_ != ',') return false;
      ++p_;
      *o_++ = ',';
    }
  }

  bool object(int depth) {
    if (depth > kMaxDepth) return false;
    size_t open = used();
    *o_++ = '{';
    skip_ws();
    if (p_ < end_ && *p_ == '}') {
      ++p_;
      *o_++ = '}';
      return true;
    }
    size_t first = members_.size();
    size_t arena_mark = arena_.size();
    bool ascending = true;
    for (;;) {
      skip_ws();
      if (p_ == end_ || *p_ != '"') return false;
      ++p_;
      MemberRef m;
      m.seg_start = static_cast<uint32_t>(used());
      escaped_ = false;
      if (!string()) return false;
      m.key_start = m.seg_start + 1;
      m.key_len = static_cast<uint32_t>(used() - 1 - m.key_start);
      m.key_in_arena = false;
      if (escaped_) {
        std::string_view key_text(buf_.get() + m.key_start, m.key_len);
        // The canonical escapes stand for other bytes; keys are ordered by
        // their bytes, so keep the decoded key for the comparison.
        m.key_start = static_cast<uint32_t>(arena_.size());
        decode_canonical(key_text, arena_);
        m.key_len = static_cast<uint32_t>(arena_.size() - m.key_start);
        m.key_in_arena = true;
      }
      skip_ws();
      if (p_ == end_ || *p_ != ':') return false;
      ++p_;
      *o_++ = ':';
      skip_ws();
      if (!value(depth)) return false;
      m.seg_end = static_cast<uint32_t>(used());
      if (ascending && members_.size() > first && !key_less(key_of(members_.back()), key_of(m))) {
        ascending = false;
      }
      members_.push_back(m);
      skip_ws();
      if (p_ == end_) return false;
      if (*p_ == '}') {
        ++p_;
        break;
      }
      if (*p_ != ',') return false;
      ++p_;
      *o_++ = ',';
    }
    if (!ascending) reorder(open, first);
    *o_++ = '}';
    members_.resize(first);
    arena_.resize(arena_mark);
    return true;
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
          out.push_back(static_cast<char>(hex_digit(s[i + 3]) * 16 + hex_digit(s[i + 4])));
          i += 4;
          break;
        default: out.push_back(e); break;  // the quote and the backslash
      }
    }
  }

  // Rewrites the members of the object opened at `open` (members_[first..])
  // in ascending key order, keeping only the last of each repeated key.
  void reorder(size_t open, size_t first) {
    size_t count = members_.size() - first;
    order_.resize(count);
    for (size_t i = 0; i < count; ++i) order_[i] = static_cast<uint32_t>(first + i);
    auto before = [this](uint32_t a, uint32_t b) {
      std::string_view ka = key_of(members_[a]), kb = key_of(members_[b]);
      if (ka != kb) return key_less(ka, kb);
      return a < b;
    };
    if (count <= 16) {
      for (size_t i = 1; i < count; ++i) {
        uint32_t item = order_[i];
        size_t j = i;
        for (; j > 0 && before(item, order_[j - 1]); --j) order_[j] = order_[j - 1];
        order_[j] = item;
      }
    } else {
      std::sort(order_.begin(), order_.end(), before);
    }
    scratch_.clear();
    for (size_t i = 0; i < count; ++i) {
      const MemberRef& m = members_[order_[i]];
      if (i + 1 < count && key_of(members_[order_[i + 1]]) == key_of(m)) continue;
      if (!scratch_.empty()) scratch_.push_back(',');
      scratch_.append(buf_.get() + m.seg_start, m.seg_end - m.seg_start);
    }
    o_ = buf_.get() + open + 1;
    std::memcpy(o_, scratch_.data(), scratch_.size());
    o_ += scratch_.size();
  }

  const char* p_ = nullptr;
  const char* end_ = nullptr;
  std::unique_ptr<char[]> buf_;
  size_t cap_ = 0;
  char* o_ = nullptr;
  bool escaped_ = false;
  bool wide_integer_ = false;
  std::vector<MemberRef> members_;
  std::vector<uint32_t> order_;
  std::string arena_;
  std::string scratch_;
};

thread_local Canonicalizer t_canonicalizer;

}  // namespace

std::optional<std::string_view> canonical_text(std::string_view text, bool* wide_integer) {
  bool ok = t_canonicalizer.run(text);
  if (wide_integer) *wide_integer = t_canonicalizer.wide_integer();
  if (!ok) return std::nullopt;
  return t_canonicalizer.text();
}

}  // namespace vl::json
