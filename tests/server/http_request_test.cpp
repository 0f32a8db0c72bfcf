#include "server/http_request.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace ZezozuRiziv::http {
namespace {

using Progress = RequestReader::Progress;

const char* progress_name(Progress p) {
  switch (p) {
    case Progress::kNeedMore: return "kNeedMore";
    case Progress::kComplete: return "kComplete";
    case Progress::kPreflight: return "kPreflight";
    case Progress::kTooLarge: return "kTooLarge";
  }
  return "?";
}

// Feeds the chunks in order and returns what each add said.
std::vector<Progress> feed(RequestReader& reader, const std::vector<std::string>& chunks) {
  std::vector<Progress> seen;
  for (const std::string& chunk : chunks) seen.push_back(reader.add(chunk));
  return seen;
}

std::vector<std::string> one_byte_chunks(const std::string& text) {
  std::vector<std::string> chunks;
  for (char c : text) chunks.emplace_back(1, c);
  return chunks;
}

// A POST whose body fills the request to exactly `total` bytes, with a
// Content-Length that declares that body.
std::string post_of_size(size_t total) {
  const std::string head_prefix = "POST /api/fund HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: ";
  for (size_t digits = 1; digits < 8; ++digits) {
    const size_t head = head_prefix.size() + digits + 4;
    const std::string length = std::to_string(total - head);
    if (length.size() == digits) return head_prefix + length + "\r\n\r\n" + std::string(total - head, 'a');
  }
  return {};
}

TEST(RequestReaderTest, ProgressTable) {
  const std::string post_head = "POST /api/stake HTTP/1.1\r\nContent-Length: 10\r\nContent-Type: x\r\n\r\n";
  struct Case {
    const char* name;
    std::vector<std::string> chunks;
    std::vector<Progress> expected;
  };
  const std::vector<Case> cases = {
      {"options answered before its body",
       {"OPTIONS /api/game/buy HTTP/1.1\r\nContent-Length: 20\r\n\r\n"},
       {Progress::kPreflight}},
      {"options waits for its header end",
       {"OPTIONS / HTTP/1.1\r\nHost: a\r\n", "\r\n"},
       {Progress::kNeedMore, Progress::kPreflight}},
      {"only upper-case OPTIONS is a preflight",
       {"options / HTTP/1.1\r\n\r\n"},
       {Progress::kComplete}},
      {"get dispatched at its header end despite a body",
       {"GET /api/info HTTP/1.1\r\nContent-Length: 50\r\n\r\nabc"},
       {Progress::kComplete}},
      {"get with its header end split",
       {"GET / HTTP/1.1\r\n", "\r", "\n"},
       {Progress::kNeedMore, Progress::kNeedMore, Progress::kComplete}},
      {"post with 4 of 10 body bytes needs 6 more",
       {post_head + "abcd", "efghi", "j"},
       {Progress::kNeedMore, Progress::kNeedMore, Progress::kComplete}},
      {"post whose body arrives with its headers",
       {post_head + "abcdefghij"},
       {Progress::kComplete}},
      {"content-length as the last header is still read",
       {"POST /api/x HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\n", "ab", "c"},
       {Progress::kNeedMore, Progress::kNeedMore, Progress::kComplete}},
      {"header name in any case",
       {"POST /api/x HTTP/1.1\r\nCONTENT-LENGTH: 2\r\nHost: a\r\n\r\nx", "y"},
       {Progress::kNeedMore, Progress::kComplete}},
      {"value without a space after the colon",
       {"POST / HTTP/1.1\r\ncontent-length:2\r\n\r\n", "xy"},
       {Progress::kNeedMore, Progress::kComplete}},
      {"lf-only header end",
       {"POST /api/x HTTP/1.1\nContent-Length: 3\n\nab", "c"},
       {Progress::kNeedMore, Progress::kComplete}},
      {"crlf header end split across three adds",
       {"POST / HTTP/1.1\r\nContent-Length: 2\r", "\n\r", "\nab"},
       {Progress::kNeedMore, Progress::kNeedMore, Progress::kComplete}},
      {"a later crlf end moves an lf end",
       {"POST / HTTP/1.1\nContent-Length: 4\n\n", "ab\r\n\r\n", "wxyz"},
       {Progress::kNeedMore, Progress::kNeedMore, Progress::kComplete}},
      {"bad content-length is 0",
       {"POST /api/x HTTP/1.1\r\nContent-Length: abc\r\nHost: a\r\n\r\n"},
       {Progress::kComplete}},
      {"negative content-length is 0",
       {"POST /api/x HTTP/1.1\r\nContent-Length: -5\r\nHost: a\r\n\r\n"},
       {Progress::kComplete}},
      {"missing content-length is 0",
       {"POST /api/x HTTP/1.1\r\nHost: a\r\n\r\n"},
       {Progress::kComplete}},
      {"no header end yet",
       {"POST /api/x HTTP/1.1\r\nHost: a\r\n", "Content-Length: 1\r\n"},
       {Progress::kNeedMore, Progress::kNeedMore}},
  };
  for (const Case& c : cases) {
    RequestReader reader;
    const std::vector<Progress> seen = feed(reader, c.chunks);
    ASSERT_EQ(seen.size(), c.expected.size()) << c.name;
    for (size_t i = 0; i < seen.size(); ++i) {
      EXPECT_EQ(seen[i], c.expected[i]) << c.name << ", add " << i << ": " << progress_name(seen[i]);
    }
  }
}

TEST(RequestReaderTest, LaterCrlfEndIsWhereTheBodyStarts) {
  RequestReader reader;
  feed(reader, {"POST / HTTP/1.1\nContent-Length: 4\n\n", "ab\r\n\r\n", "wxyz"});
  EXPECT_EQ(request_body(reader.request()), "wxyz");
}

TEST(RequestReaderTest, PostArrivingOneByteAtATime) {
  const std::string request = "POST /api/stake HTTP/1.1\r\nContent-Length: 10\r\n\r\n0123456789";
  RequestReader reader;
  const std::vector<Progress> seen = feed(reader, one_byte_chunks(request));
  for (size_t i = 0; i + 1 < seen.size(); ++i) {
    ASSERT_EQ(seen[i], Progress::kNeedMore) << "byte " << i;
  }
  EXPECT_EQ(seen.back(), Progress::kComplete);
  EXPECT_EQ(reader.request(), request);
}

TEST(RequestReaderTest, GetArrivingOneByteAtATimeCompletesAtHeaderEnd) {
  const std::string request = "GET /api/info HTTP/1.1\nHost: a\n\n";
  RequestReader reader;
  const std::vector<Progress> seen = feed(reader, one_byte_chunks(request));
  for (size_t i = 0; i + 1 < seen.size(); ++i) ASSERT_EQ(seen[i], Progress::kNeedMore) << "byte " << i;
  EXPECT_EQ(seen.back(), Progress::kComplete);
}

TEST(RequestReaderTest, SmallLimitBothSides) {
  constexpr size_t kLimit = 16;
  {
    RequestReader reader(kLimit);
    EXPECT_EQ(reader.add(std::string(kLimit, 'x')), Progress::kNeedMore);
    EXPECT_EQ(reader.add("y"), Progress::kTooLarge);
    // The refused bytes are never appended.
    EXPECT_EQ(reader.request().size(), kLimit);
  }
  {
    RequestReader reader(kLimit);
    EXPECT_EQ(reader.add(std::string(kLimit + 1, 'x')), Progress::kTooLarge);
    EXPECT_TRUE(reader.empty());
  }
  {
    // A complete request exactly at the limit, and the same one a byte over.
    const std::string request = "P /\ncontent-length:2\n\nab";
    RequestReader at_limit(request.size());
    EXPECT_EQ(at_limit.add(request), Progress::kComplete);
    RequestReader below_limit(request.size() - 1);
    EXPECT_EQ(below_limit.add(request), Progress::kTooLarge);
  }
}

TEST(RequestReaderTest, DefaultLimitBothSides) {
  const std::string at_limit = post_of_size(kMaxRequestBytes);
  ASSERT_EQ(at_limit.size(), kMaxRequestBytes);
  const std::string over_limit = post_of_size(kMaxRequestBytes + 1);
  ASSERT_EQ(over_limit.size(), kMaxRequestBytes + 1);

  auto feed_in_receives = [](RequestReader& reader, const std::string& request) {
    Progress last = Progress::kNeedMore;
    for (size_t pos = 0; pos < request.size() && last == Progress::kNeedMore; pos += kReceiveChunkBytes) {
      last = reader.add(std::string_view(request).substr(pos, kReceiveChunkBytes));
    }
    return last;
  };
  RequestReader served;
  EXPECT_EQ(feed_in_receives(served, at_limit), Progress::kComplete);
  EXPECT_EQ(served.request(), at_limit);
  RequestReader dropped;
  EXPECT_EQ(feed_in_receives(dropped, over_limit), Progress::kTooLarge);
}

TEST(RequestReaderTest, CanDispatchIncomplete) {
  {
    RequestReader nothing;
    EXPECT_FALSE(nothing.can_dispatch_incomplete());
  }
  {
    // A cut POST: its headers promise 10 bytes, 4 came.
    RequestReader cut;
    ASSERT_EQ(cut.add("POST /api/stake HTTP/1.1\r\nContent-Length: 10\r\n\r\nabcd"), Progress::kNeedMore);
    EXPECT_FALSE(cut.can_dispatch_incomplete());
  }
  {
    RequestReader no_header_end;
    ASSERT_EQ(no_header_end.add("{\"jsonrpc\":\"2.0\",\"method\":\"eth_chainId\"}"), Progress::kNeedMore);
    EXPECT_TRUE(no_header_end.can_dispatch_incomplete());
  }
  // Cut before the header end: only what goes to the JSON-RPC is handed over.
  const struct {
    const char* bytes;
    bool dispatchable;
  } fragments[] = {
      {"GET /api/info HTTP/1.1\r\nHost: a", false},
      {"GET /api/stake?addr=0xabc&amount=5", false},
      {"POST /api/stake?addr=0xabc HTTP/1.1\r\nContent-Le", false},
      {"POST / HTTP/1.1\r\nHost: a", true},
      {"PUT /api/info HTTP/1.1", true},
  };
  for (const auto& fragment : fragments) {
    RequestReader reader;
    ASSERT_EQ(reader.add(fragment.bytes), Progress::kNeedMore) << fragment.bytes;
    EXPECT_EQ(reader.can_dispatch_incomplete(), fragment.dispatchable) << fragment.bytes;
  }
}

TEST(RequestReaderTest, TakeRequestHandsOverTheBytes) {
  RequestReader reader;
  ASSERT_EQ(reader.add("GET / HTTP/1.1\r\n\r\n"), Progress::kComplete);
  EXPECT_EQ(reader.take_request(), "GET / HTTP/1.1\r\n\r\n");
}

TEST(HeaderTextTest, FindHeaderEnd) {
  struct Case {
    const char* request;
    std::optional<size_t> index;
    size_t separator;
  };
  const std::vector<Case> cases = {
      {"a\r\n\r\nb", 1, 4},
      {"a\n\nb", 1, 2},
      // A "\r\n\r\n" anywhere wins over an earlier "\n\n".
      {"a\n\nb\r\n\r\nc", 4, 4},
      {"a\r\n\nb", 2, 2},
      {"abc\r\n", std::nullopt, 0},
      {"", std::nullopt, 0},
  };
  for (const Case& c : cases) {
    const std::optional<HeaderEnd> end = find_header_end(c.request);
    ASSERT_EQ(end.has_value(), c.index.has_value()) << c.request;
    if (end) {
      EXPECT_EQ(end->index, *c.index) << c.request;
      EXPECT_EQ(end->separator, c.separator) << c.request;
    }
  }
}

TEST(HeaderTextTest, ParseContentLength) {
  struct Case {
    const char* headers;
    std::optional<uint64_t> expected;
  };
  const std::vector<Case> cases = {
      {"POST / HTTP/1.1\r\ncontent-length: 10\r\n", 10},
      {"POST / HTTP/1.1\r\nContent-Length:    7\nHost: a", 7},
      {"Content-Length:0\r\n", 0},
      {"content-length: 12abc\r\n", 12},
      {"content-length: 18446744073709551615\r\n", UINT64_MAX},
      // A line that does not end may still be arriving.
      {"POST / HTTP/1.1\r\ncontent-length: 10", std::nullopt},
      {"content-length: abc\r\n", std::nullopt},
      {"content-length: -1\r\n", std::nullopt},
      {"content-length: \r\n", std::nullopt},
      {"content-length: 18446744073709551616\r\n", std::nullopt},
      {"Host: a\r\n", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_content_length(c.headers), c.expected) << c.headers;
  }
}

TEST(RequestPartsTest, RequestTarget) {
  struct Case {
    const char* request;
    const char* target;
  };
  const std::vector<Case> cases = {
      {"GET /api/game/state?addr=0xab HTTP/1.1\r\nHost: a\r\n\r\n", "/api/game/state?addr=0xab"},
      {"POST /api/fund HTTP/1.1\r\n\r\naddress=x", "/api/fund"},
      {"GET /only", "/"},
      {"GET", "/"},
      {"", "/"},
      {"GET  HTTP/1.1", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(request_target(c.request), c.target) << c.request;
}

TEST(RequestPartsTest, TargetPath) {
  EXPECT_EQ(target_path("/api/game/buy?addr=x?y"), "/api/game/buy");
  EXPECT_EQ(target_path("/api/info"), "/api/info");
  EXPECT_EQ(target_path("?a=1"), "");
}

TEST(RequestPartsTest, RequestBody) {
  EXPECT_EQ(request_body("POST /api/x HTTP/1.1\r\nHost: a\r\n\r\nlat=1&lon=2"), "lat=1&lon=2");
  EXPECT_EQ(request_body("POST /api/x HTTP/1.1\nHost: a\n\nlat=1"), "lat=1");
  EXPECT_EQ(request_body("POST /api/x HTTP/1.1\r\nHost: a\r\n"), "");
  EXPECT_EQ(request_body("GET / HTTP/1.1\r\n\r\n"), "");
}

TEST(RequestPartsTest, BuildQueryText) {
  struct Case {
    const char* target;
    const char* body;
    const char* query;
  };
  const std::vector<Case> cases = {
      {"/api/game/buy?addr=0xab", "lat=45.1&lon=9.2", "/api/game/buy?addr=0xab&lat=45.1&lon=9.2"},
      {"/api/game/buy", "lat=45.1&lon=9.2", "/api/game/buy?lat=45.1&lon=9.2"},
      {"/api/game/buy?addr=0xab", "", "/api/game/buy?addr=0xab"},
      {"/", "a=1", "/?a=1"},
  };
  for (const Case& c : cases) EXPECT_EQ(build_query_text(c.target, c.body), c.query) << c.target;
}

TEST(RequestPartsTest, JsonRpcBody) {
  const std::string call = "{\"jsonrpc\":\"2.0\",\"method\":\"eth_chainId\",\"id\":1}";
  struct Case {
    const char* name;
    std::string request;
    std::string body;
  };
  const std::vector<Case> cases = {
      {"body of an ordinary request", "POST / HTTP/1.1\r\nContent-Length: 44\r\n\r\n" + call, call},
      {"lf-only header end", "POST / HTTP/1.1\n\n" + call, call},
      {"no header end: the whole request", call, call},
      {"method only in the headers part: the whole request",
       "POST / HTTP/1.1\r\nX: \"method\"\r\n\r\n", "POST / HTTP/1.1\r\nX: \"method\"\r\n\r\n"},
      {"no method anywhere: the body", "POST / HTTP/1.1\r\n\r\nhello", "hello"},
      {"empty body without a method", "PUT /api/x HTTP/1.1\r\n\r\n", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(json_rpc_body(c.request), c.body) << c.name;
}

TEST(GetParamTest, Table) {
  struct Case {
    const char* query;
    const char* key;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"/api/x?amt=12%2C5+a", "amt", "12,5 a"},
      {"/api/x?amount=5", "amt", ""},
      {"/api/x?amount=5&xamt=3", "amt", ""},
      {"/api/x?xamt=1&amt=2", "amt", "2"},
      {"/api/x?a=1&amt=3&b=2", "amt", "3"},
      {"/api/x?amt=", "amt", ""},
      {"/api/x?amt", "amt", ""},
      {"/api/x?amt=a&", "amt", "a"},
      {"", "amt", ""},
      // '%' that is not followed by two hex digits stays.
      {"/x?amt=5%2", "amt", "5%2"},
      {"/x?amt=5%", "amt", "5%"},
      {"/x?amt=%zz1", "amt", "%zz1"},
      {"/x?amt=%4g", "amt", "%4g"},
      {"/x?amt=%%41", "amt", "%A"},
      {"/x?amt=%41%42", "amt", "AB"},
      {"/x?amt=%4a%4A", "amt", "JJ"},
      {"/x?amt=%2B+%2b", "amt", "+ +"},
      {"/x?addr=0xAbC&lat=45.46", "addr", "0xAbC"},
      // The first occurrence wins: the URL before an appended body.
      {"/x?addr=url&addr=body", "addr", "url"},
      // "?key=" is looked for before "&key=", wherever each stands.
      {"/x?z=1&amt=amp&note=?amt=q", "amt", "q"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(get_param(c.query, c.key), c.expected) << c.query << " key " << c.key;
  }
}

TEST(GetParamTest, PercentZeroDecodesToNulByte) {
  EXPECT_EQ(get_param("/x?k=a%00b", "k"), std::string("a\0b", 3));
}

TEST(GetParamTest, IllFormedUtf8BecomesReplacementCharacters) {
  const std::string R = "\xEF\xBF\xBD";
  EXPECT_EQ(get_param("/x?name=Tetti%FFSolari", "name"), "Tetti" + R + "Solari");
  EXPECT_EQ(get_param("/x?addr=%ff%fe", "addr"), R + R);
  EXPECT_EQ(get_param("/x?addr=\xff\xC3", "addr"), R + R);  // raw bytes too
  EXPECT_EQ(get_param("/x?t=%E2%82&u=1", "t"), R);
  EXPECT_EQ(get_param("/x?t=citt%C3%A0+%F0%9F%8C%B1", "t"), "citt\xC3\xA0 \xF0\x9F\x8C\xB1");
}

TEST(GetParamTest, BodyAppendedToTargetIsSearchedAfterTheUrl) {
  const std::string with_query = build_query_text("/api/game/buy?addr=url", "addr=body&lat=45.1");
  EXPECT_EQ(get_param(with_query, "addr"), "url");
  EXPECT_EQ(get_param(with_query, "lat"), "45.1");
  const std::string without_query = build_query_text("/api/game/buy", "addr=body&lat=45.1");
  EXPECT_EQ(get_param(without_query, "addr"), "body");
  EXPECT_EQ(get_param(without_query, "lat"), "45.1");
}

TEST(UrlDecodeTest, Table) {
  EXPECT_EQ(url_decode(""), "");
  EXPECT_EQ(url_decode("a+b"), "a b");
  EXPECT_EQ(url_decode("citt%C3%A0"), "citt\xC3\xA0");
  EXPECT_EQ(url_decode("100%"), "100%");
  EXPECT_EQ(url_decode("%F"), "%F");
  EXPECT_EQ(url_decode("%FF"), "\xFF");
}

constexpr uint64_t kU64Fallback = 777;
constexpr int64_t kI64Fallback = -777;
constexpr int kIntFallback = 555;
constexpr double kDoubleFallback = 9.5;

TEST(NumberParamTest, Unsigned) {
  struct Case {
    const char* text;
    uint64_t expected;
  };
  const std::vector<Case> cases = {
      {"42", 42},
      {" 12abc", 12},
      {"\t\n42", 42},
      {"+7", 7},
      {"007", 7},
      {"0x10", 0},
      {"1e3", 1},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", kU64Fallback},
      {"-1", kU64Fallback},
      {"  -1", kU64Fallback},
      {"-0", kU64Fallback},
      {"+", kU64Fallback},
      {"+-1", kU64Fallback},
      {"", kU64Fallback},
      {"  ", kU64Fallback},
      {"abc", kU64Fallback},
  };
  for (const Case& c : cases) EXPECT_EQ(param_u64(c.text, kU64Fallback), c.expected) << c.text;
}

TEST(NumberParamTest, UnsignedReadingsTellWhyATextIsNoNumber) {
  using ZezozuRiziv::http::U64Reading;
  struct Case {
    const char* text;
    U64Reading::Kind kind;
    uint64_t value;
  };
  const std::vector<Case> cases = {
      {" +12abc", U64Reading::kNumber, 12},
      {"18446744073709551615", U64Reading::kNumber, UINT64_MAX},
      {"18446744073709551616", U64Reading::kTooLarge, 0},
      {" 99999999999999999999x", U64Reading::kTooLarge, 0},
      {"-5", U64Reading::kNegative, 0},
      {"\t-0", U64Reading::kNegative, 0},
      {"-", U64Reading::kNegative, 0},
      {"", U64Reading::kNotANumber, 0},
      {"+", U64Reading::kNotANumber, 0},
      {"abc", U64Reading::kNotANumber, 0},
  };
  for (const Case& c : cases) {
    const U64Reading reading = ZezozuRiziv::http::read_u64(c.text);
    EXPECT_EQ(reading.kind, c.kind) << c.text;
    if (c.kind == U64Reading::kNumber) {
      EXPECT_EQ(reading.value, c.value) << c.text;
    }
  }
}

TEST(NumberParamTest, Signed) {
  struct Case {
    const char* text;
    int64_t expected;
  };
  const std::vector<Case> cases = {
      {"-1", -1},
      {" 12abc", 12},
      {"+5", 5},
      {"-0", 0},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"9223372036854775808", kI64Fallback},
      {"-9223372036854775809", kI64Fallback},
      {"+-5", kI64Fallback},
      {"-+5", kI64Fallback},
      {"- 5", kI64Fallback},
      {"-", kI64Fallback},
      {"", kI64Fallback},
      {"abc", kI64Fallback},
  };
  for (const Case& c : cases) EXPECT_EQ(param_i64(c.text, kI64Fallback), c.expected) << c.text;
}

TEST(NumberParamTest, Int) {
  struct Case {
    const char* text;
    int expected;
  };
  const std::vector<Case> cases = {
      {"42x", 42},
      {"-3", -3},
      {"2147483647", INT_MAX},
      {"-2147483648", INT_MIN},
      {"2147483648", kIntFallback},
      {"-2147483649", kIntFallback},
      {"99999999999999999999", kIntFallback},
      {"", kIntFallback},
      {"x1", kIntFallback},
  };
  for (const Case& c : cases) EXPECT_EQ(param_int(c.text, kIntFallback), c.expected) << c.text;
}

TEST(NumberParamTest, Double) {
  struct Case {
    const char* text;
    double expected;
  };
  const std::vector<Case> cases = {
      {"1e-2", 0.01},
      {"45.4642", 45.4642},
      {" 9.19abc", 9.19},
      {"-3.5", -3.5},
      {"+2", 2.0},
      {".5", 0.5},
      {"5.", 5.0},
      {"1,5", 1.0},
      {"0x1p3", 8.0},
      // Too small to represent: read as the tiny number, not as a failure.
      {"1e-400", 0.0},
      {"nan", kDoubleFallback},
      {"NaN", kDoubleFallback},
      {"-nan(1)", kDoubleFallback},
      {"inf", kDoubleFallback},
      {"-Infinity", kDoubleFallback},
      {"1e999", kDoubleFallback},
      {"-1e999", kDoubleFallback},
      {"e5", kDoubleFallback},
      {"", kDoubleFallback},
      {"  ", kDoubleFallback},
      {"abc", kDoubleFallback},
  };
  for (const Case& c : cases) EXPECT_EQ(param_double(c.text, kDoubleFallback), c.expected) << c.text;
}

// The standard conversions are the reference: where they succeed we read the
// same number; where they throw we take the fallback.
const std::vector<std::string> kConversionInputs = {
    "0",    "1",     " 42",  "\t-17", "+8",   "12abc", "abc", "",     "-",    "+",
    "0x1f", "1e5",   "3.75", "-0",    "  +0", "- 1",   "+-2", "007",  "2147483647",
    "2147483648",    "-2147483648",   "-2147483649",   "9223372036854775807",
    "9223372036854775808",             "-9223372036854775808",
    "18446744073709551615",            "18446744073709551616",
    "123456789012345678901234567890",  ".25",  "-.5e1", "1e-2", "nan", "inf", "1e400",
};

TEST(NumberParamTest, MatchesStandardIntegerConversions) {
  for (const std::string& text : kConversionInputs) {
    std::optional<long long> ll;
    try {
      ll = std::stoll(text);
    } catch (const std::exception&) {
    }
    EXPECT_EQ(param_i64(text, kI64Fallback), ll ? *ll : kI64Fallback) << text;

    std::optional<int> i;
    try {
      i = std::stoi(text);
    } catch (const std::exception&) {
    }
    EXPECT_EQ(param_int(text, kIntFallback), i ? *i : kIntFallback) << text;

    std::optional<unsigned long long> ull;
    try {
      ull = std::stoull(text);
    } catch (const std::exception&) {
    }
    // Where stoull wraps a negative number around, we refuse it.
    const bool negative = text.find_first_not_of(" \t") != std::string::npos &&
                          text[text.find_first_not_of(" \t")] == '-';
    const uint64_t expected = (ull && !negative) ? *ull : kU64Fallback;
    EXPECT_EQ(param_u64(text, kU64Fallback), expected) << text;
  }
}

TEST(NumberParamTest, MatchesStandardDoubleConversion) {
  for (const std::string& text : kConversionInputs) {
    std::optional<double> d;
    try {
      d = std::stod(text);
    } catch (const std::exception&) {
    }
    const double expected = (d && std::isfinite(*d)) ? *d : kDoubleFallback;
    EXPECT_EQ(param_double(text, kDoubleFallback), expected) << text;
  }
}

}  // namespace
}  // namespace ZezozuRiziv::http
