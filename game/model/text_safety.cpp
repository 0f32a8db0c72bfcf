#include "game/model/text_safety.h"

#include <algorithm>

#include "crypto/json_writer.h"
#include "crypto/text.h"

namespace ZezozuRiziv {

namespace {

constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDelete = 0x7F;

std::string without_bytes(std::string_view text, std::string_view drop) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    if (drop.find(c) == std::string_view::npos) out += c;
  }
  return out;
}

}  // namespace

bool is_safe_record_key(std::string_view text) {
  return std::none_of(text.begin(), text.end(),
                      [](char c) {
                        const auto byte = static_cast<unsigned char>(c);
                        return byte < kFirstPrintable || byte == kDelete || c == '|' || c == '"' || c == '\\';
                      }) &&
         RozeveCrypto::is_valid_utf8(text);
}

bool keys_usable(std::string_view address, std::string& out) {
  if (is_safe_record_key(address)) return true;
  out = error_json(kBadAddressMessage);
  return false;
}

bool keys_usable(std::string_view address, std::string_view lot_key, std::string& out) {
  if (!keys_usable(address, out)) return false;
  if (is_safe_record_key(lot_key)) return true;
  out = error_json(kBadLotKeyMessage);
  return false;
}

std::string clean_world_text(std::string_view text) {
  return RozeveCrypto::valid_utf8(without_bytes(text, "|\r\n"));
}

std::string sanitize_billboard_field(std::string text, uint64_t limit) {
  std::string out = RozeveCrypto::valid_utf8(without_bytes(text, "|\r\n\"\\"));
  if (out.size() > limit) out.resize(RozeveCrypto::utf8_prefix_length(out, static_cast<size_t>(limit)));
  return out;
}

std::string error_json(std::string_view message) {
  JsonWriter json;
  json.begin_object().field("status", "error").field("message", message).end_object();
  return json.take();
}

bool refuse(std::string& out, std::string_view message) {
  out = error_json(message);
  return false;
}

}  // namespace ZezozuRiziv
