// The one reader of JSON that arrives from outside (the JSON-RPC envelope and
// its parameters). Strict RFC 8259: the whole text must be one value, strings
// must be valid UTF-8 with valid escapes, and the text and its nesting are
// bounded before anything is built. Values are views into the text, read by
// key among an object's own members, never by searching the text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ZezozuRiziv {

// No request can be longer than the HTTP port takes (262,144 bytes); a
// longer text is refused before it is read.
inline constexpr size_t kMaxJsonBytes = 262144;
// Deeper nesting is refused: a JSON-RPC request needs a handful of levels,
// and the reader recurses once per level. (The count of values is bounded
// by the size: each takes at least one byte.)
inline constexpr int kMaxJsonDepth = 64;

enum class JsonKind : uint8_t { kNull, kBool, kNumber, kString, kArray, kObject };

class JsonDocument;

// One value of a document: a cheap handle, valid while the document (not
// moved since the value was taken) and the text it was read from live.
class JsonValue {
 public:
  JsonKind kind() const;
  bool is_string() const { return kind() == JsonKind::kString; }
  bool is_array() const { return kind() == JsonKind::kArray; }
  bool is_object() const { return kind() == JsonKind::kObject; }
  bool is_null() const { return kind() == JsonKind::kNull; }

  // The value exactly as it stands in the text: a string with its quotes and
  // escapes, a number as written, a container with its inner blanks.
  std::string_view raw() const;
  // A string's content with its escapes resolved (valid UTF-8); nullopt for
  // any other kind.
  std::optional<std::string> string() const;

  // Elements of an array, members of an object; 0 for the other kinds.
  size_t size() const;
  // The i-th element of an array; nullopt past the end or for other kinds.
  std::optional<JsonValue> at(size_t index) const;
  // The value of the member `key` among this object's own members (the last
  // one when the key repeats, as JavaScript reads it); nullopt when absent or
  // when this is not an object.
  std::optional<JsonValue> find(std::string_view key) const;
  // Every element of an array, in order (empty for other kinds).
  std::vector<JsonValue> elements() const;

 private:
  friend class JsonDocument;
  JsonValue(const JsonDocument* document, uint32_t node) : document_(document), node_(node) {}
  // The node after this one's whole subtree.
  uint32_t next() const;

  const JsonDocument* document_;
  uint32_t node_;
};

// Why a text is not read.
enum class JsonError {
  kNone,
  kTooLarge,  // longer than kMaxJsonBytes
  kTooDeep,   // nested deeper than kMaxJsonDepth
  kSyntax,    // not one well-formed JSON value, or not valid UTF-8
};

class JsonDocument {
 public:
  // Reads `text` whole. REQUIRES: `text` outlives the document and every
  // value taken from it.
  [[nodiscard]] static std::optional<JsonDocument> parse(std::string_view text,
                                                         JsonError* error = nullptr);

  JsonValue root() const { return JsonValue(this, 0); }

  JsonDocument(JsonDocument&&) = default;
  JsonDocument& operator=(JsonDocument&&) = default;
  JsonDocument(const JsonDocument&) = delete;
  JsonDocument& operator=(const JsonDocument&) = delete;

 private:
  friend class JsonValue;
  friend class JsonParser;
  struct Node {
    uint32_t begin = 0;  // the value's span in the text
    uint32_t end = 0;
    uint32_t next = 0;   // index of the node after this subtree
    uint32_t count = 0;  // elements or members
    JsonKind kind = JsonKind::kNull;
    bool escaped = false;  // a string holding a backslash
  };
  explicit JsonDocument(std::string_view text) : text_(text) {}

  std::string_view text_;
  // Depth-first: a container is followed by its children (for an object,
  // each member's key node and then its value's subtree).
  std::vector<Node> nodes_;
};

}  // namespace ZezozuRiziv
