#include "crypto/json_writer.h"

#include <array>
#include <charconv>
#include <cmath>
#include <system_error>

#include "crypto/text.h"

namespace ZezozuRiziv {

namespace {

// More decimals than this carry no information for a double.
constexpr int kMaxFixedDecimals = 40;
// Room for the integer digits of the largest double (309), sign, point and
// the decimals.
constexpr size_t kNumberBufferBytes = 320 + kMaxFixedDecimals;
// Significant digits of the stream's default form.
constexpr int kStreamPrecision = 6;

constexpr char kHexDigits[] = "0123456789abcdef";

void append_chars(std::string& out, double number, std::chars_format format, int precision) {
  std::array<char, kNumberBufferBytes> buffer;
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number, format, precision);
  // The buffer holds every finite double in both forms; a failure cannot
  // happen, but if it did, zero is still valid JSON.
  if (ec != std::errc()) {
    out += '0';
    return;
  }
  out.append(buffer.data(), end);
}

// Quotes around `text` (well-formed UTF-8), its '"', '\\' and control
// bytes escaped.
void append_escaped(std::string& out, std::string_view text) {
  out += '"';
  // Runs of bytes that need no escape (nearly all text) are copied whole.
  size_t plain_from = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 0x20 && byte != '"' && byte != '\\') continue;
    out.append(text.data() + plain_from, i - plain_from);
    plain_from = i + 1;
    switch (byte) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        out += "\\u00";
        out += kHexDigits[byte >> 4];
        out += kHexDigits[byte & 0x0f];
    }
  }
  out.append(text.data() + plain_from, text.size() - plain_from);
  out += '"';
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  if (RozeveCrypto::is_valid_utf8(text)) return append_escaped(out, text);
  // One ill-formed byte would make the whole answer unreadable to a strict
  // client: each ill-formed sequence becomes U+FFFD.
  append_escaped(out, RozeveCrypto::valid_utf8(text));
}

std::string json_string(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  append_json_string(out, text);
  return out;
}

void JsonWriter::before_value() {
  if (after_key_) {
    // The key already placed the comma.
    after_key_ = false;
    return;
  }
  if (!has_element_.empty()) {
    if (has_element_.back()) out_ += ',';
    has_element_.back() = true;
  }
}

JsonWriter& JsonWriter::begin_object() {
  before_value();
  out_ += '{';
  has_element_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::end_object() {
  out_ += '}';
  if (!has_element_.empty()) has_element_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::begin_array() {
  before_value();
  out_ += '[';
  has_element_.push_back(false);
  return *this;
}

JsonWriter& JsonWriter::end_array() {
  out_ += ']';
  if (!has_element_.empty()) has_element_.pop_back();
  return *this;
}

JsonWriter& JsonWriter::key(std::string_view name) {
  before_value();
  append_json_string(out_, name);
  out_ += ':';
  after_key_ = true;
  return *this;
}

JsonWriter& JsonWriter::value(std::string_view text) {
  before_value();
  append_json_string(out_, text);
  return *this;
}

JsonWriter& JsonWriter::value(uint64_t number) {
  before_value();
  std::array<char, 24> buffer;
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number);
  out_.append(buffer.data(), end);
  return *this;
}

JsonWriter& JsonWriter::value(int64_t number) {
  before_value();
  std::array<char, 24> buffer;
  const auto [end, ec] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number);
  out_.append(buffer.data(), end);
  return *this;
}

JsonWriter& JsonWriter::value(bool flag) {
  before_value();
  out_ += flag ? "true" : "false";
  return *this;
}

void append_fixed(std::string& out, double number, int decimals) {
  // JSON has no NaN or infinity: they are written as zero in this notation.
  if (!std::isfinite(number)) number = 0.0;
  if (decimals < 0) decimals = 0;
  if (decimals > kMaxFixedDecimals) decimals = kMaxFixedDecimals;
  append_chars(out, number, std::chars_format::fixed, decimals);
}

std::string fixed_text(double number, int decimals) {
  std::string out;
  append_fixed(out, number, decimals);
  return out;
}

JsonWriter& JsonWriter::fixed(double number, int decimals) {
  before_value();
  append_fixed(out_, number, decimals);
  return *this;
}

JsonWriter& JsonWriter::number(double number) {
  before_value();
  if (!std::isfinite(number)) number = 0.0;
  // "%.6g", which is what a default-formatted stream prints.
  append_chars(out_, number, std::chars_format::general, kStreamPrecision);
  return *this;
}

JsonWriter& JsonWriter::null() {
  before_value();
  out_ += "null";
  return *this;
}

JsonWriter& JsonWriter::raw(std::string_view json) {
  before_value();
  // Bytes above 0x7F stand only inside the strings of a JSON text: ill-formed
  // ones become U+FFFD and the text stays the same JSON.
  if (RozeveCrypto::is_valid_utf8(json)) {
    out_.append(json);
  } else {
    RozeveCrypto::append_valid_utf8(out_, json);
  }
  return *this;
}

}  // namespace ZezozuRiziv
