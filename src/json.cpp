#include "json.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

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
  bool float_from_parts(bool negative, uint64_t significand, int64_t exponent, Value& out);
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

bool Parser::number(Value& out) {
  bool negative = false;
  if (*p_ == '-') {
    negative = true;
    ++p_;
  }
  if (p_ == end_ || !is_digit(*p_)) return fail("invalid number");

  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  auto overflows = [](uint64_t sig, unsigned d) {
    return sig > kMax / 10 || (sig == kMax / 10 && d > kMax % 10);
  };

  uint64_t significand = 0;
  int64_t exponent = 0;
  bool is_float = false;
  if (*p_ == '0') {
    ++p_;
    if (p_ < end_ && is_digit(*p_)) return fail("invalid number");
  } else {
    while (p_ < end_ && is_digit(*p_)) {
      auto d = static_cast<unsigned>(*p_ - '0');
      if (overflows(significand, d)) {
        // Too many integer digits: the rest only scale the value.
        is_float = true;
        while (p_ < end_ && is_digit(*p_)) {
          ++exponent;
          ++p_;
        }
        break;
      }
      significand = significand * 10 + d;
      ++p_;
    }
  }
  if (at('.')) {
    is_float = true;
    ++p_;
    if (p_ == end_ || !is_digit(*p_)) return fail("invalid number");
    bool full = false;
    while (p_ < end_ && is_digit(*p_)) {
      auto d = static_cast<unsigned>(*p_ - '0');
      if (!full && overflows(significand, d)) full = true;
      if (!full) {
        significand = significand * 10 + d;
        --exponent;
      }
      ++p_;
    }
  }
  if (at('e') || at('E')) {
    is_float = true;
    ++p_;
    bool exp_negative = false;
    if (at('+')) {
      ++p_;
    } else if (at('-')) {
      exp_negative = true;
      ++p_;
    }
    if (p_ == end_ || !is_digit(*p_)) return fail("invalid number");
    constexpr int32_t kIntMax = std::numeric_limits<int32_t>::max();
    int32_t e = 0;
    bool exp_overflow = false;
    while (p_ < end_ && is_digit(*p_)) {
      auto d = *p_ - '0';
      if (!exp_overflow && (e > kIntMax / 10 || (e == kIntMax / 10 && d > kIntMax % 10))) {
        exp_overflow = true;
      }
      if (!exp_overflow) e = e * 10 + d;
      ++p_;
    }
    if (exp_overflow) {
      if (significand != 0 && !exp_negative) return fail("number out of range");
      out = Value::real(negative ? -0.0 : 0.0);
      return true;
    }
    // The exponent is a 32-bit quantity that saturates.
    int64_t sum = exp_negative ? exponent - e : exponent + e;
    exponent = std::clamp<int64_t>(sum, std::numeric_limits<int32_t>::min(), kIntMax);
  }
  if (!is_float) {
    if (!negative) {
      out = Value::uint(significand);
    } else if (significand != 0 && significand <= (uint64_t{1} << 63)) {
      out = Value::integer(static_cast<int64_t>(0 - significand));
    } else {
      out = Value::real(-static_cast<double>(significand));
    }
    return true;
  }
  return float_from_parts(negative, significand, exponent, out);
}

bool Parser::float_from_parts(bool negative, uint64_t significand, int64_t exponent, Value& out) {
  double f = static_cast<double>(significand);
  for (;;) {
    int64_t mag = exponent < 0 ? -exponent : exponent;
    if (mag <= 308) {
      if (exponent >= 0) {
        f *= kPow10[mag];
        if (std::isinf(f)) return fail("number out of range");
      } else {
        f /= kPow10[mag];
      }
      break;
    }
    if (f == 0) break;
    if (exponent >= 0) return fail("number out of range");
    f /= 1e308;
    exponent += 308;
  }
  out = Value::real(negative ? -f : f);
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

void write_float(std::string& out, double d) {
  if (d == 0) {
    out += std::signbit(d) ? "-0.0" : "0.0";
    return;
  }
  // The shortest digits that read back to d, in scientific form:
  // [-]D[.DDD]e(+|-)XX.
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, d, std::chars_format::scientific);
  const char* p = buf;
  if (*p == '-') {
    out.push_back('-');
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
      out.append(digits, static_cast<size_t>(n));
      out.append(static_cast<size_t>(e - n + 1), '0');
      out += ".0";
    } else if (e >= 0) {
      out.append(digits, static_cast<size_t>(e + 1));
      out.push_back('.');
      out.append(digits + e + 1, static_cast<size_t>(n - e - 1));
    } else {
      out += "0.";
      out.append(static_cast<size_t>(-e - 1), '0');
      out.append(digits, static_cast<size_t>(n));
    }
    return;
  }
  out.push_back(digits[0]);
  if (n > 1) {
    out.push_back('.');
    out.append(digits + 1, static_cast<size_t>(n - 1));
  }
  out.push_back('e');
  out.push_back(e >= 0 ? '+' : '-');
  write_uint(out, static_cast<uint64_t>(e >= 0 ? e : -e));
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
