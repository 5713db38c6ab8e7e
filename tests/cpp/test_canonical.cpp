// The one-pass canonical text against the value tree's writer: over a
// generated corpus of JSON texts (random values written with random white
// space, escapes, key orders, repeated keys and number spellings) and over
// damaged copies of them, canonical_text(t) must equal write(parse(t)), and
// must refuse exactly the texts that parse refuses; the line hash likewise
// equals the content hash of parse(t).

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "hash.hpp"
#include "json.hpp"
#include "utf8.hpp"

namespace {

class TextGen {
 public:
  explicit TextGen(uint32_t seed) : rng_(seed) {}

  std::string document() {
    std::string out;
    ws(out);
    value(out, 0);
    ws(out);
    return out;
  }

 private:
  size_t pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng_); }
  bool chance(int percent) { return pick(100) < static_cast<size_t>(percent); }

  void ws(std::string& out) {
    static const char* kWs[] = {"", "", "", " ", "\t", "\r\n ", "  "};
    out += kWs[pick(7)];
  }

  void value(std::string& out, int depth) {
    size_t kind = pick(depth > 5 ? 5 : 8);
    switch (kind) {
      case 0: out += "null"; break;
      case 1: out += chance(50) ? "true" : "false"; break;
      case 2: case 3: number(out); break;
      case 4: string(out); break;
      case 5: case 6: container(out, depth + 1, false); break;
      default: container(out, depth + 1, true); break;
    }
  }

  void number(std::string& out) {
    static const char* kEdges[] = {
        "0", "-0", "1", "-1", "18446744073709551615", "18446744073709551616", "-9223372036854775808",
        "-9223372036854775809", "9223372036854775807", "1.0", "-0.0", "0e0", "1E5", "1e-5", "1e15",
        "1e16", "1.5e-7", "1e308", "2e-308", "5e-324", "1e-400", "0.1", "123456789012345678901234567890",
        "0.30000000000000004", "1.7976931348623157e308", "4.9406564584124654e-324",
        "1e2147483648", "0e99999999999", "-1e-2147483649", "12.5E+3", "0.000001", "100000000000000000000.5",
        "99999999999999.0", "999999999999999.0", "0.00001", "0.000012345678901234", "0.0000012", "1.50",
        "123456789012345.6", "12345678901234.5", "9007199254740993.0", "0.10", "-0.00"};
    if (chance(40)) {
      out += kEdges[pick(std::size(kEdges))];
      return;
    }
    if (chance(30)) out.push_back('-');
    size_t digits = 1 + pick(chance(20) ? 25 : 8);
    out.push_back(static_cast<char>('1' + pick(9)));
    for (size_t i = 1; i < digits; ++i) out.push_back(static_cast<char>('0' + pick(10)));
    if (chance(40)) {
      out.push_back('.');
      size_t frac = 1 + pick(chance(20) ? 25 : 6);
      for (size_t i = 0; i < frac; ++i) out.push_back(static_cast<char>('0' + pick(10)));
    }
    if (chance(25)) {
      out.push_back(chance(50) ? 'e' : 'E');
      if (chance(50)) out.push_back(chance(50) ? '-' : '+');
      out += std::to_string(pick(chance(10) ? 400 : 30));
    }
  }

  void string(std::string& out) {
    static const char* kPieces[] = {
        "a", "b", "Z", "key", " ", "/", "\\/", "\\\"", "\\\\", "\\n", "\\t", "\\b", "\\f", "\\r",
        "\\u0000", "\\u001f", "\\u001F", "\\u0041", "\\u00e9", "\\u00E9", "\\u20ac", "\\ud83d\\ude00",
        "\\uD834\\uDD1E", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "\x7f", "long text run ",
        "\\u0022", "\\u005c", "\\u007f"};
    out.push_back('"');
    size_t n = pick(chance(10) ? 30 : 6);
    for (size_t i = 0; i < n; ++i) out += kPieces[pick(std::size(kPieces))];
    out.push_back('"');
  }

  // An array, or an object (which may run long).
  void container(std::string& out, int depth, bool object) {
    static const char* kKeys[] = {"\"a\"", "\"b\"", "\"A\"", "\"ab\"", "\"\"", "\"\\u0061\"", "\"a\\\"\"",
                                  "\"a\\n\"", "\"\xc3\xa9\"", "\"\\u00e9\"", "\"z\"", "\"id\"", "\"text\"",
                                  "\"\\u0000\"", "\"\\\\\"", "\"\x7f\"", "\"\\ud83d\\ude00\"",
                                  "\"provenance\"", "\"provenancf\"", "\"provenan\\u0000\"", "\"provenan\xc3\xa9\""};
    out.push_back(object ? '{' : '[');
    size_t n = object ? pick(chance(10) ? 24 : 6) : pick(5);
    for (size_t i = 0; i < n; ++i) {
      if (i) out.push_back(',');
      ws(out);
      if (object) {
        out += kKeys[pick(std::size(kKeys))];
        ws(out);
        out.push_back(':');
        ws(out);
      }
      value(out, depth);
      ws(out);
    }
    out.push_back(object ? '}' : ']');
  }

  std::mt19937 rng_;
};

std::optional<std::string> tree_text(const std::string& text) {
  auto v = vl::json::parse(text);
  if (!v) return std::nullopt;
  return vl::json::to_string(*v);
}

std::optional<std::string> one_pass_text(const std::string& text) {
  auto t = vl::json::canonical_text(text);
  if (!t) return std::nullopt;
  return std::string(*t);
}

TEST(CanonicalText, MatchesTheTreeWriterAndHashOnAGeneratedCorpus) {
  TextGen gen(20261206);
  std::mt19937 damage(7);
  size_t refused = 0;
  for (int i = 0; i < 40000; ++i) {
    const std::string text = gen.document();
    // A damaged copy: a byte changed, removed or the text cut short.
    std::string bad = text;
    size_t at = std::uniform_int_distribution<size_t>(0, bad.size() - 1)(damage);
    switch (i % 3) {
      case 0: bad[at] = "\"\\{}[],:0-.eu \x80\xff"[i % 16]; break;
      case 1: bad.erase(at, 1); break;
      default: bad.resize(at); break;
    }
    for (const std::string& t : {text, bad}) {
      const std::optional<vl::json::Value> v = vl::json::parse(t);
      ASSERT_EQ(one_pass_text(t), v ? std::optional(vl::json::to_string(*v)) : std::nullopt) << t;
      // The line hash is the content hash of the parsed value.
      const std::optional<vl::Digest> digest = vl::canonical_hash_of_line(t);
      ASSERT_EQ(digest.has_value(), v.has_value()) << t;
      if (v) {
        ASSERT_EQ(digest->hex(), vl::compute_hash(*v)) << t;
      }
      refused += !v;
    }
  }
  EXPECT_GT(refused, 10000u);
}

TEST(CanonicalText, NestingLimitAndRefusedForms) {
  for (size_t levels : {126, 127, 128, 200}) {
    const std::string arrays = std::string(levels, '[') + std::string(levels, ']');
    std::string objects;
    for (size_t i = 0; i < levels; ++i) objects += "{\"k\":";
    objects.append("1").append(levels, '}');
    EXPECT_EQ(one_pass_text(arrays), tree_text(arrays)) << levels;
    EXPECT_EQ(one_pass_text(objects), tree_text(objects)) << levels;
    EXPECT_EQ(one_pass_text(arrays).has_value(), levels <= 127);
  }
  for (const char* text : {"", " ", "NaN", "Infinity", "-Infinity", "[1,]", "{\"a\":1,}", "\"\\ud800\"",
                           "\"\\udc00\"", "\"\\ud800\\u0041\"", "\"\xed\xa0\x80\"", "\"\xc0\x80\"", "01", "1.",
                           ".5", "1e", "+1", "\"a\tb\"", "\"\\x\"", "1 2", "nul", "truex", "1e400", "-1e400"}) {
    EXPECT_FALSE(one_pass_text(text).has_value()) << text;
    EXPECT_FALSE(tree_text(text).has_value()) << text;
  }
}

// Raw non-ASCII bytes in a string are checked as UTF-8 (by blocks in long
// strings): every sequence of four bytes from the edges of the encoding's
// ranges, inside a block, across the middle of a block and a boundary
// between blocks, and cut by the string's end, is accepted exactly when it
// decodes.
TEST(CanonicalText, RefusesExactlyTheInvalidUtf8) {
  const unsigned char edges[] = {0x41, 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0, 0xc1, 0xc2,
                                 0xdf, 0xe0, 0xe1, 0xec, 0xed, 0xee, 0xef, 0xf0, 0xf1, 0xf3, 0xf4,
                                 0xf5, 0xf8, 0xff};
  auto decodes = [](std::string_view s) {
    for (size_t i = 0, n; i < s.size(); i += n) {
      char32_t c;
      if ((n = vl::utf8::decode(s.substr(i), &c)) == 0) return false;
    }
    return true;
  };
  size_t refused = 0;
  for (unsigned char a : edges) {
    for (unsigned char b : edges) {
      for (unsigned char c : edges) {
        for (unsigned char d : edges) {
          const char seq[] = {static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d)};
          for (size_t before : {3, 14, 30, 45, 76}) {
            std::string content = std::string(before, 'x') + std::string(seq, 4) + std::string(80 - before, 'y');
            if (before == 76) content.resize(before + 4);  // the sequence ends the string
            bool accepted = vl::json::canonical_text("\"" + content + "\"").has_value();
            ASSERT_EQ(accepted, decodes(content)) << int(a) << " " << int(b) << " " << int(c) << " " << int(d);
            refused += !accepted;
          }
        }
      }
    }
  }
  EXPECT_GT(refused, 100000u);
}

// write_string copies runs by blocks: a character to escape at every place
// of strings up to three blocks long, and runs of them, come out escaped.
TEST(WriteString, EscapesAtEveryPlace) {
  const std::pair<char, std::string> escapes[] = {
      {'"', "\\\""}, {'\\', "\\\\"}, {'\n', "\\n"}, {'\t', "\\t"}, {'\x01', "\\u0001"}, {'\x1f', "\\u001f"}};
  for (size_t len = 0; len <= 48; ++len) {
    for (size_t at = 0; at < len; ++at) {
      for (const auto& [c, escaped] : escapes) {
        std::string s(len, 'a');
        s[at] = c;
        std::string out = "prefix";
        vl::json::write_string(out, s);
        ASSERT_EQ(out, "prefix\"" + s.substr(0, at) + escaped + s.substr(at + 1) + "\"") << len << " " << at;
      }
    }
    std::string out, want = "\"";  // a run of characters to escape
    vl::json::write_string(out, std::string(len, '\x02'));
    for (size_t i = 0; i < len; ++i) want += "\\u0002";
    ASSERT_EQ(out, want + "\"");
  }
}

// A digest reads back from its 64 lowercase digits (or uppercase ones, when
// either case is asked for, as the token index's source keys are read), and
// from nothing else: every byte value at every place, each digit read as its
// value, and other lengths.
TEST(Digest, FromHexTakesExactlyTheDigits) {
  using Letters = vl::Digest::Letters;
  const std::string digits = "0123456789abcdef0123456789ABCDEF";
  for (size_t i = 0; i < 64; ++i) {
    const vl::Digest d = vl::sha256(std::to_string(i));
    const std::string hex = d.hex();
    std::string upper = hex;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    ASSERT_EQ(vl::Digest::from_hex(upper, Letters::EitherCase), d);
    for (int c = 0; c < 256; ++c) {
      std::string text = hex;
      text[i] = static_cast<char>(c);
      const size_t digit = digits.find(static_cast<char>(c));
      std::optional<vl::Digest> want = d;
      uint8_t& byte = want->bytes[i / 2];
      byte = static_cast<uint8_t>(i % 2 ? (byte & 0xf0) | digit % 16 : (byte & 0x0f) | digit % 16 << 4);
      ASSERT_EQ(vl::Digest::from_hex(text), digit < 16 ? want : std::nullopt) << i << " " << c;
      ASSERT_EQ(vl::Digest::from_hex(text, Letters::EitherCase), digit < 32 ? want : std::nullopt)
          << i << " " << c;
    }
    EXPECT_FALSE(vl::Digest::from_hex(std::string_view(hex).substr(0, 63 - i % 3)).has_value());
    EXPECT_FALSE(vl::Digest::from_hex(hex + "0").has_value());
  }
}

}  // namespace
