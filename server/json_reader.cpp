#include "server/json_reader.h"

#include "crypto/text.h"

namespace ZezozuRiziv {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// A single JSON-RPC request holds about this many values: one allocation.
constexpr size_t kTypicalRequestValues = 16;

// UTF-16 surrogate halves, which \u escapes must pair.
constexpr uint32_t kHighSurrogateFirst = 0xD800;
constexpr uint32_t kLowSurrogateFirst = 0xDC00;
constexpr uint32_t kLowSurrogateLast = 0xDFFF;

// The four hex digits of a \u escape at `at`; nullopt when they are not.
std::optional<uint32_t> read_hex4(std::string_view text, size_t at) {
  if (text.size() - at < 4) return std::nullopt;
  uint32_t unit = 0;
  for (size_t i = at; i < at + 4; ++i) {
    const int digit = RozeveCrypto::hex_digit_value(text[i]);
    if (digit < 0) return std::nullopt;
    unit = unit * 16 + static_cast<uint32_t>(digit);
  }
  return unit;
}

void append_utf8(std::string& out, uint32_t code_point) {
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

// The code point of the \u escape at `at` (just after the backslash and the
// 'u'), a surrogate pair taken whole; `length` is how many characters from
// `at` it used. nullopt for bad digits or an unpaired surrogate.
std::optional<uint32_t> read_unicode_escape(std::string_view text, size_t at, size_t& length) {
  const auto unit = read_hex4(text, at);
  if (!unit) return std::nullopt;
  length = 4;
  if (*unit < kHighSurrogateFirst || *unit > kLowSurrogateLast) return unit;
  if (*unit >= kLowSurrogateFirst) return std::nullopt;  // a low half first
  if (text.substr(at + 4, 2) != "\\u") return std::nullopt;
  const auto low = read_hex4(text, at + 6);
  if (!low || *low < kLowSurrogateFirst || *low > kLowSurrogateLast) return std::nullopt;
  length = 10;
  return 0x10000 + ((*unit - kHighSurrogateFirst) << 10) + (*low - kLowSurrogateFirst);
}

}  // namespace

// Builds a document's nodes in one pass over the text.
class JsonParser {
 public:
  using Node = JsonDocument::Node;

  JsonParser(std::string_view text, std::vector<Node>& nodes) : text_(text), nodes_(nodes) {}

  JsonError run() {
    skip_blanks();
    if (!value(0)) return error_;
    skip_blanks();
    return pos_ == text_.size() ? JsonError::kNone : JsonError::kSyntax;
  }

 private:
  bool fail(JsonError why) {
    error_ = why;
    return false;
  }

  void skip_blanks() {
    while (pos_ < text_.size() && is_blank(text_[pos_])) ++pos_;
  }
  bool at_end() const { return pos_ >= text_.size(); }

  uint32_t open(JsonKind kind) {
    Node node;
    node.kind = kind;
    node.begin = static_cast<uint32_t>(pos_);
    nodes_.push_back(node);
    return static_cast<uint32_t>(nodes_.size() - 1);
  }
  void close(uint32_t index) {
    nodes_[index].end = static_cast<uint32_t>(pos_);
    nodes_[index].next = static_cast<uint32_t>(nodes_.size());
  }

  // `depth`: the containers around this value.
  bool value(int depth) {
    if (at_end()) return fail(JsonError::kSyntax);
    switch (text_[pos_]) {
      case '{':
      case '[':
        if (depth >= kMaxJsonDepth) return fail(JsonError::kTooDeep);
        return container(depth + 1, text_[pos_] == '{' ? JsonKind::kObject : JsonKind::kArray);
      case '"':
        return string();
      case 't':
        return literal("true", JsonKind::kBool);
      case 'f':
        return literal("false", JsonKind::kBool);
      case 'n':
        return literal("null", JsonKind::kNull);
      default:
        return number();
    }
  }

  // An object or an array: members or elements between their brackets.
  bool container(int depth, JsonKind kind) {
    const bool object = kind == JsonKind::kObject;
    const char closing = object ? '}' : ']';
    const uint32_t self = open(kind);
    ++pos_;
    skip_blanks();
    if (!at_end() && text_[pos_] == closing) {
      ++pos_;
      close(self);
      return true;
    }
    while (true) {
      if (object && !member_key()) return false;
      if (!value(depth)) return false;
      ++nodes_[self].count;
      skip_blanks();
      if (at_end()) return fail(JsonError::kSyntax);
      if (text_[pos_] == closing) break;
      if (text_[pos_] != ',') return fail(JsonError::kSyntax);
      ++pos_;
      skip_blanks();
    }
    ++pos_;
    close(self);
    return true;
  }

  // A member's key and its ':', up to the value.
  bool member_key() {
    if (at_end() || text_[pos_] != '"') return fail(JsonError::kSyntax);
    if (!string()) return false;
    skip_blanks();
    if (at_end() || text_[pos_] != ':') return fail(JsonError::kSyntax);
    ++pos_;
    skip_blanks();
    return true;
  }

  bool string() {
    const uint32_t self = open(JsonKind::kString);
    ++pos_;
    while (true) {
      if (at_end()) return fail(JsonError::kSyntax);
      const unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') break;
      if (c < 0x20) return fail(JsonError::kSyntax);
      if (c == '\\') {
        nodes_[self].escaped = true;
        if (++pos_ == text_.size()) return fail(JsonError::kSyntax);
        const char e = text_[pos_];
        if (e == 'u') {
          size_t length = 0;
          if (!read_unicode_escape(text_, pos_ + 1, length)) return fail(JsonError::kSyntax);
          pos_ += 1 + length;
        } else if (std::string_view("\"\\/bfnrt").find(e) != std::string_view::npos) {
          ++pos_;
        } else {
          return fail(JsonError::kSyntax);
        }
      } else if (c >= 0x80) {
        const size_t length = RozeveCrypto::utf8_sequence(text_, pos_);
        if (length == 0) return fail(JsonError::kSyntax);
        pos_ += length;
      } else {
        ++pos_;
      }
    }
    ++pos_;
    close(self);
    return true;
  }

  bool literal(std::string_view word, JsonKind kind) {
    if (text_.substr(pos_, word.size()) != word) return fail(JsonError::kSyntax);
    const uint32_t self = open(kind);
    pos_ += word.size();
    close(self);
    return true;
  }

  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  bool number() {
    const uint32_t self = open(JsonKind::kNumber);
    const auto digits = [&] {
      const size_t from = pos_;
      while (!at_end() && is_digit(text_[pos_])) ++pos_;
      return pos_ > from;
    };
    if (!at_end() && text_[pos_] == '-') ++pos_;
    if (!at_end() && text_[pos_] == '0') {
      ++pos_;
    } else if (!digits()) {
      return fail(JsonError::kSyntax);
    }
    if (!at_end() && text_[pos_] == '.') {
      ++pos_;
      if (!digits()) return fail(JsonError::kSyntax);
    }
    if (!at_end() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (!at_end() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      if (!digits()) return fail(JsonError::kSyntax);
    }
    close(self);
    return true;
  }

  std::string_view text_;
  std::vector<Node>& nodes_;
  size_t pos_ = 0;
  JsonError error_ = JsonError::kSyntax;
};

std::optional<JsonDocument> JsonDocument::parse(std::string_view text, JsonError* error) {
  JsonError why = JsonError::kNone;
  std::optional<JsonDocument> document;
  if (text.size() > kMaxJsonBytes) {
    why = JsonError::kTooLarge;
  } else {
    document.emplace(JsonDocument(text));
    document->nodes_.reserve(kTypicalRequestValues);
    why = JsonParser(text, document->nodes_).run();
    if (why != JsonError::kNone) document.reset();
  }
  if (error != nullptr) *error = why;
  return document;
}

JsonKind JsonValue::kind() const { return document_->nodes_[node_].kind; }

std::string_view JsonValue::raw() const {
  const JsonDocument::Node& node = document_->nodes_[node_];
  return document_->text_.substr(node.begin, node.end - node.begin);
}

uint32_t JsonValue::next() const { return document_->nodes_[node_].next; }

std::optional<std::string> JsonValue::string() const {
  if (!is_string()) return std::nullopt;
  const std::string_view inner = raw().substr(1, raw().size() - 2);
  if (!document_->nodes_[node_].escaped) return std::string(inner);
  // The parser has checked every escape: here they are only resolved.
  std::string out;
  out.reserve(inner.size());
  for (size_t i = 0; i < inner.size(); ++i) {
    if (inner[i] != '\\') {
      out += inner[i];
      continue;
    }
    const char e = inner[++i];
    switch (e) {
      case 'b': out += '\b'; break;
      case 'f': out += '\f'; break;
      case 'n': out += '\n'; break;
      case 'r': out += '\r'; break;
      case 't': out += '\t'; break;
      case 'u': {
        size_t length = 0;
        append_utf8(out, read_unicode_escape(inner, i + 1, length).value_or(0xFFFD));
        i += length;
        break;
      }
      default: out += e; break;  // " \ /
    }
  }
  return out;
}

size_t JsonValue::size() const {
  const JsonKind k = kind();
  return k == JsonKind::kArray || k == JsonKind::kObject ? document_->nodes_[node_].count : 0;
}

std::optional<JsonValue> JsonValue::at(size_t index) const {
  if (!is_array() || index >= size()) return std::nullopt;
  uint32_t child = node_ + 1;
  for (size_t i = 0; i < index; ++i) child = document_->nodes_[child].next;
  return JsonValue(document_, child);
}

std::vector<JsonValue> JsonValue::elements() const {
  std::vector<JsonValue> out;
  if (!is_array()) return out;
  out.reserve(size());
  for (uint32_t child = node_ + 1; child < next(); child = document_->nodes_[child].next) {
    out.push_back(JsonValue(document_, child));
  }
  return out;
}

std::optional<JsonValue> JsonValue::find(std::string_view key) const {
  if (!is_object()) return std::nullopt;
  std::optional<JsonValue> found;
  for (uint32_t member = node_ + 1; member < next();) {
    const JsonValue name(document_, member);
    const JsonValue value(document_, member + 1);
    const bool plain = !document_->nodes_[member].escaped;
    const std::string_view raw_name = name.raw();
    if (plain ? raw_name.substr(1, raw_name.size() - 2) == key : name.string() == key) {
      found = value;
    }
    member = value.next();
  }
  return found;
}

}  // namespace ZezozuRiziv
