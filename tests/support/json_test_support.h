// Reading one member of a JSON answer with the node's strict JSON reader.
#pragma once

#include <string>

#include "server/json_reader.h"

namespace rozeve_test {

// The top-level member `key` of a JSON object: a text without its quotes
// (escapes resolved), else the value as written; "<not JSON>" when the
// answer does not parse, "<missing key>" when the member is absent.
inline std::string json_field(const std::string& json, const std::string& key) {
  const auto document = ZezozuRiziv::JsonDocument::parse(json);
  if (!document) return "<not JSON>";
  const auto value = document->root().find(key);
  if (!value) return "<missing " + key + ">";
  return value->is_string() ? value->string().value_or("<bad string>") : std::string(value->raw());
}

}  // namespace rozeve_test
