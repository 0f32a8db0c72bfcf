// The one way the server writes JSON: texts are escaped, commas and colons
// placed for the caller. For ordinary text (no '"', '\' or control bytes)
// the output is exactly the hand-written form: no spaces, keys in call order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ZezozuRiziv {

// Appends `text` as a JSON string literal: quotes around, '"' '\' and bytes
// below 0x20 escaped (\n \r \t \b \f, others as \u00XX). Well-formed
// UTF-8 is copied; every ill-formed sequence is written as U+FFFD, so an
// answer is valid UTF-8 whatever bytes a text holds.
void append_json_string(std::string& out, std::string_view text);
std::string json_string(std::string_view text);

// `number` in fixed notation with `decimals` digits after the point, exactly
// as JsonWriter::fixed writes it (NaN and infinities as zero), for numbers
// that stand inside a text (an answer's message).
void append_fixed(std::string& out, double number, int decimals);
std::string fixed_text(double number, int decimals);

class JsonWriter {
 public:
  JsonWriter& begin_object();
  JsonWriter& end_object();
  JsonWriter& begin_array();
  JsonWriter& end_array();
  // The next value's key (inside an object).
  JsonWriter& key(std::string_view name);

  JsonWriter& value(std::string_view text);  // escaped string
  JsonWriter& value(const char* text) { return value(std::string_view(text)); }
  JsonWriter& value(const std::string& text) { return value(std::string_view(text)); }
  JsonWriter& value(uint64_t number);
  JsonWriter& value(int64_t number);
  JsonWriter& value(int number) { return value(static_cast<int64_t>(number)); }
  JsonWriter& value(uint32_t number) { return value(static_cast<uint64_t>(number)); }
  JsonWriter& value(bool flag);
  // Fixed notation with `decimals` digits after the point ("%.2f").
  // JSON has no NaN or infinity: they are written as zero ("0.00").
  JsonWriter& fixed(double number, int decimals);
  // The stream's default form: 6 significant digits ("%g"-like, as
  // std::ostream << double prints). NaN and infinities are written as 0.
  JsonWriter& number(double number);
  JsonWriter& null();
  // Already-formed JSON (a record text, a nested answer), inserted as it is
  // but for ill-formed UTF-8, which becomes U+FFFD.
  JsonWriter& raw(std::string_view json);

  // Shorthands for key(name).value(...).
  template <typename T>
  JsonWriter& field(std::string_view name, const T& v) {
    key(name);
    return value(v);
  }

  const std::string& str() const { return out_; }
  std::string take() { return std::move(out_); }

 private:
  void before_value();

  std::string out_;
  // One entry per open object or array: whether it already holds an element.
  std::vector<bool> has_element_;
  bool after_key_ = false;
};

}  // namespace ZezozuRiziv
