// Reading one HTTP request and taking it apart: pure functions over text, so
// that every rule can be tested without a socket.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ZezozuRiziv::http {

// One receive asks for at most this many bytes.
inline constexpr size_t kReceiveChunkBytes = 8191;
// A request larger than this is dropped unanswered.
inline constexpr size_t kMaxRequestBytes = 262144;

// Where the header block ends: the first "\r\n\r\n" (separator 4), else the
// first "\n\n" (separator 2).
struct HeaderEnd {
  size_t index;
  size_t separator;
  size_t body_start() const { return index + separator; }
};
[[nodiscard]] std::optional<HeaderEnd> find_header_end(std::string_view request);

// The value of "content-length:" in a header block (any case), when its line
// is terminated by CR or LF and the value converts; nullopt otherwise.
[[nodiscard]] std::optional<uint64_t> parse_content_length(std::string_view headers);

// Gathers the bytes of one request and says when reading is done.
class RequestReader {
 public:
  enum class Progress {
    kNeedMore,   // keep receiving
    kComplete,   // dispatch request()
    kPreflight,  // an OPTIONS request: answer the fixed preflight
    kTooLarge,   // over kMaxRequestBytes: drop unanswered
  };

  explicit RequestReader(size_t max_bytes = kMaxRequestBytes) : max_bytes_(max_bytes) {}

  [[nodiscard]] Progress add(std::string_view bytes);

  // When the peer closes or falls silent before kComplete: true when what
  // arrived may still be dispatched: some bytes, no header block whose
  // declared body is missing (a cut POST must never act), and not a page or
  // API request cut before its header end. What remains is a JSON-RPC text.
  [[nodiscard]] bool can_dispatch_incomplete() const;

  bool empty() const { return request_.empty(); }
  const std::string& request() const { return request_; }
  std::string take_request() { return std::move(request_); }

 private:
  size_t max_bytes_;
  std::string request_;
  bool headers_seen_ = false;
  size_t body_start_ = 0;
  uint64_t content_length_ = 0;
};

// Whether the request belongs to the pages and routes: any GET, and a POST
// under "/api/". Every other request goes whole to the JSON-RPC.
bool is_page_or_route(std::string_view request);
// The request line's target (between the first and second space), or "/"
// when the request holds fewer than two spaces.
std::string request_target(std::string_view request);
// The target up to its first '?'.
std::string_view target_path(std::string_view target);
// Everything after the header end; empty when there is none.
std::string_view request_body(std::string_view request);
// The target, with a non-empty form body appended after '&' (the target
// already has a '?') or '?'.
std::string build_query_text(std::string_view target, std::string_view body);
// What the JSON-RPC reads: the body, or the whole request when there is no
// header end, or when only the whole request names a "method".
std::string json_rpc_body(std::string_view request);

// The first "?key=" or else "&key=" value in the query text, up to the next
// '&', decoded: '+' is a space, "%XY" (two hex digits) is that byte, any
// other '%' stays; then every ill-formed UTF-8 sequence is replaced by
// U+FFFD, so no route ever holds a text that is not UTF-8. Empty when the
// key is absent.
std::string get_param(std::string_view query, std::string_view key);
// The decoding alone, bytes as they come.
std::string url_decode(std::string_view raw);

// Number parameters: the text as the standard conversions read it (leading
// blanks, digits, the rest ignored), or `fallback` when it is empty, does
// not convert or is out of range. Unsigned values refuse a '-'; doubles
// refuse NaN and infinities.
uint64_t param_u64(std::string_view text, uint64_t fallback);
// The same reading, telling why a text is not a number: a '-' sign, digits
// beyond 64 bits, or nothing that starts a number (empty included).
struct U64Reading {
  enum Kind { kNumber, kNotANumber, kNegative, kTooLarge };
  Kind kind;
  uint64_t value;  // set for kNumber
};
U64Reading read_u64(std::string_view text);
int64_t param_i64(std::string_view text, int64_t fallback);
int param_int(std::string_view text, int fallback);
double param_double(std::string_view text, double fallback);

}  // namespace ZezozuRiziv::http
