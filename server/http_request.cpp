#include "server/http_request.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "crypto/text.h"

namespace ZezozuRiziv::http {

namespace {

using RozeveCrypto::ascii_lower;
using RozeveCrypto::hex_digit_value;

constexpr std::string_view kCrlfEnd = "\r\n\r\n";
constexpr std::string_view kLfEnd = "\n\n";
constexpr std::string_view kContentLengthKey = "content-length:";
constexpr std::string_view kMethodKey = "\"method\"";
// A new separator can start at most this many bytes before the new ones.
constexpr size_t kSeparatorOverlap = kCrlfEnd.size() - 1;

bool is_blank(char c) {
  // What isspace() accepts in the "C" locale, as the std::sto* conversions see it.
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

std::string_view skip_blanks(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && is_blank(text[i])) ++i;
  return text.substr(i);
}

std::optional<uint64_t> to_u64(std::string_view text) {
  const U64Reading reading = read_u64(text);
  if (reading.kind != U64Reading::kNumber) return std::nullopt;
  return reading.value;
}

// std::stoll in base 10: blanks, an optional sign, digits.
std::optional<int64_t> to_i64(std::string_view text) {
  text = skip_blanks(text);
  // from_chars takes a '-' but not a '+'; after either a digit must follow,
  // so "+-5" fails as strtoll fails it.
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty() || !is_digit(text.front())) return std::nullopt;
  } else if (!text.empty() && text.front() == '-') {
    if (text.size() < 2 || !is_digit(text[1])) return std::nullopt;
  } else if (text.empty() || !is_digit(text.front())) {
    return std::nullopt;
  }
  int64_t value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (ec != std::errc()) return std::nullopt;
  return value;
}

bool ascii_iequal(char a, char b) { return ascii_lower(a) == ascii_lower(b); }

// Whether a header block ends with "\r\n\r\n". An "\n\n" end never looks
// like one: its last two bytes would have to be both "\n\n" and "\r\n".
bool ends_with_crlf_end(std::string_view up_to_body) { return up_to_body.ends_with(kCrlfEnd); }

}  // namespace

std::optional<HeaderEnd> find_header_end(std::string_view request) {
  if (const size_t i = request.find(kCrlfEnd); i != std::string_view::npos) {
    return HeaderEnd{i, kCrlfEnd.size()};
  }
  if (const size_t i = request.find(kLfEnd); i != std::string_view::npos) {
    return HeaderEnd{i, kLfEnd.size()};
  }
  return std::nullopt;
}

std::optional<uint64_t> parse_content_length(std::string_view headers) {
  // Case-insensitive search, so the headers need no lower-cased copy.
  const auto key = std::search(headers.begin(), headers.end(), kContentLengthKey.begin(),
                               kContentLengthKey.end(), ascii_iequal);
  if (key == headers.end()) return std::nullopt;
  size_t pos = static_cast<size_t>(key - headers.begin()) + kContentLengthKey.size();
  while (pos < headers.size() && headers[pos] == ' ') ++pos;
  const size_t line_end = headers.find_first_of("\r\n", pos);
  // A value that runs to the end of the text may still be arriving.
  if (line_end == std::string_view::npos) return std::nullopt;
  return to_u64(headers.substr(pos, line_end - pos));
}

RequestReader::Progress RequestReader::add(std::string_view bytes) {
  // Checked before appending, so an oversized request never grows the buffer.
  if (bytes.size() > max_bytes_ || request_.size() > max_bytes_ - bytes.size()) {
    return Progress::kTooLarge;
  }
  const size_t old_size = request_.size();
  request_.append(bytes);
  // Earlier adds searched everything before old_size; a separator that
  // appears now must end in the new bytes.
  const size_t search_from = old_size > kSeparatorOverlap ? old_size - kSeparatorOverlap : 0;
  const std::string_view text(request_);

  if (!headers_seen_) {
    const std::string_view tail = text.substr(search_from);
    const std::optional<HeaderEnd> found = find_header_end(tail);
    if (!found) return Progress::kNeedMore;
    headers_seen_ = true;
    body_start_ = search_from + found->body_start();

    if (text.starts_with("OPTIONS")) return Progress::kPreflight;
    if (text.starts_with("GET")) return Progress::kComplete;
    // The header text keeps the line break that ends its last line, so a
    // Content-Length sent as the last header is read like any other.
    const size_t header_index = search_from + found->index;
    const size_t last_line_break = found->separator / 2;
    content_length_ = parse_content_length(text.substr(0, header_index + last_line_break)).value_or(0);
  } else if (!ends_with_crlf_end(text.substr(0, body_start_))) {
    // The header end is the first "\r\n\r\n" when one exists anywhere, so a
    // late one moves an "\n\n" end, as a fresh search of the whole request would.
    if (const size_t i = text.find(kCrlfEnd, search_from); i != std::string_view::npos) {
      body_start_ = i + kCrlfEnd.size();
    }
  }

  const uint64_t body_bytes = request_.size() >= body_start_ ? request_.size() - body_start_ : 0;
  return body_bytes >= content_length_ ? Progress::kComplete : Progress::kNeedMore;
}

bool RequestReader::can_dispatch_incomplete() const {
  if (request_.empty() || headers_seen_) return false;
  // A page or API request cut before its header end may have lost the rest
  // of its target or body; routes act on both methods, so it is dropped.
  // Only a bare JSON-RPC text (no HTTP framing at all) is handed over.
  return !is_page_or_route(request_);
}

bool is_page_or_route(std::string_view request) {
  return request.starts_with("GET") || request.starts_with("POST /api/");
}

std::string request_target(std::string_view request) {
  const size_t first = request.find(' ');
  if (first == std::string_view::npos) return "/";
  const size_t second = request.find(' ', first + 1);
  if (second == std::string_view::npos) return "/";
  return std::string(request.substr(first + 1, second - first - 1));
}

std::string_view target_path(std::string_view target) { return target.substr(0, target.find('?')); }

std::string_view request_body(std::string_view request) {
  const std::optional<HeaderEnd> end = find_header_end(request);
  if (!end) return {};
  return request.substr(end->body_start());
}

std::string build_query_text(std::string_view target, std::string_view body) {
  std::string query(target);
  if (!body.empty()) {
    query += target.find('?') != std::string_view::npos ? '&' : '?';
    query.append(body);
  }
  return query;
}

std::string json_rpc_body(std::string_view request) {
  const std::optional<HeaderEnd> end = find_header_end(request);
  if (!end) return std::string(request);
  const std::string_view body = request.substr(end->body_start());
  if (body.find(kMethodKey) == std::string_view::npos &&
      request.find(kMethodKey) != std::string_view::npos) {
    return std::string(request);
  }
  return std::string(body);
}

std::string get_param(std::string_view query, std::string_view key) {
  std::string pattern;
  pattern.reserve(key.size() + 2);
  pattern.append("?").append(key).append("=");
  size_t pos = query.find(pattern);
  if (pos == std::string_view::npos) {
    pattern[0] = '&';
    pos = query.find(pattern);
    if (pos == std::string_view::npos) return {};
  }
  const size_t start = pos + pattern.size();
  const size_t end = query.find('&', start);
  std::string value =
      url_decode(query.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
  // Every text a route stores or repeats comes through here: ill-formed
  // UTF-8 ("%FF", or the raw byte) is replaced once, where it comes in.
  if (!RozeveCrypto::is_valid_utf8(value)) value = RozeveCrypto::valid_utf8(value);
  return value;
}

std::string url_decode(std::string_view raw) {
  std::string out;
  out.reserve(raw.size());
  for (size_t i = 0; i < raw.size(); ++i) {
    const char c = raw[i];
    if (c == '+') {
      out += ' ';
    } else if (c == '%' && i + 2 < raw.size() && hex_digit_value(raw[i + 1]) >= 0 &&
               hex_digit_value(raw[i + 2]) >= 0) {
      out += static_cast<char>(hex_digit_value(raw[i + 1]) * 16 + hex_digit_value(raw[i + 2]));
      i += 2;
    } else {
      out += c;
    }
  }
  return out;
}

// std::stoull in base 10, minus the sign it would accept: blanks, an optional
// '+', digits; the rest is ignored.
U64Reading read_u64(std::string_view text) {
  text = skip_blanks(text);
  if (!text.empty() && text.front() == '-') return {U64Reading::kNegative, 0};
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty() || !is_digit(text.front())) return {U64Reading::kNotANumber, 0};
  uint64_t value = 0;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 10);
  if (ec != std::errc()) return {U64Reading::kTooLarge, 0};
  return {U64Reading::kNumber, value};
}

uint64_t param_u64(std::string_view text, uint64_t fallback) { return to_u64(text).value_or(fallback); }

int64_t param_i64(std::string_view text, int64_t fallback) { return to_i64(text).value_or(fallback); }

int param_int(std::string_view text, int fallback) {
  const std::optional<int64_t> value = to_i64(text);
  if (!value || *value < INT_MIN || *value > INT_MAX) return fallback;
  return static_cast<int>(*value);
}

double param_double(std::string_view text, double fallback) {
  if (text.empty()) return fallback;
  // strtod reads exactly what std::stod reads (decimal and hexadecimal
  // forms, exponents, "inf", "nan"); it wants a terminated copy.
  const std::string copy(text);
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(copy.c_str(), &end);
  if (end == copy.c_str()) return fallback;
  // Overflow (ERANGE with HUGE_VAL) is refused with NaN and the infinities.
  // An underflow (ERANGE with a result at or near zero) is taken as the tiny
  // number it is: std::stod would throw there, but a value too small to
  // represent is better read as about zero than as the route's default.
  if (!std::isfinite(value)) return fallback;
  return value;
}

}  // namespace ZezozuRiziv::http
