// An immutable text that copies share: a copy only counts a reference, and
// the empty text allocates nothing. Eight bytes in a record instead of a
// string's 32, so that a world of a million lots, whose lots repeat the same
// owner, plant and currency texts, keeps each of those texts once
// (TextPool hands out the shared copy while a world file is read).
// Copies may be made and dropped from several threads at once, as with
// std::shared_ptr; the characters never change.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>
#include <unordered_set>

namespace ZezozuRiziv {

class SharedText {
 public:
  SharedText() = default;
  SharedText(std::string_view text);  // NOLINT: records are assigned from any text
  SharedText(const std::string& text) : SharedText(std::string_view(text)) {}
  SharedText(const char* text) : SharedText(std::string_view(text)) {}
  SharedText(const SharedText& other) noexcept : rep_(other.rep_) {
    if (counted()) rep_->refs.fetch_add(1, std::memory_order_relaxed);
  }
  SharedText(SharedText&& other) noexcept : rep_(other.rep_) { other.rep_ = nullptr; }
  SharedText& operator=(const SharedText& other) noexcept {
    SharedText copy(other);
    swap(copy);
    return *this;
  }
  SharedText& operator=(SharedText&& other) noexcept {
    SharedText moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~SharedText() { release(); }

  // A text kept for the whole run, whose copies count nothing: the defaults
  // every lot shares, copied by many threads at once while a world loads,
  // would otherwise make one counter the point all of them wait on.
  static SharedText lasting(std::string_view text);

  void swap(SharedText& other) noexcept { std::swap(rep_, other.rep_); }

  std::string_view view() const {
    return rep_ == nullptr ? std::string_view() : std::string_view(rep_->chars(), rep_->size);
  }
  operator std::string_view() const { return view(); }  // NOLINT: read as any text
  std::string str() const { return std::string(view()); }
  bool empty() const { return rep_ == nullptr; }
  size_t size() const { return rep_ == nullptr ? 0 : rep_->size; }
  void clear() { SharedText().swap(*this); }

  friend bool operator==(const SharedText& a, const SharedText& b) {
    return a.rep_ == b.rep_ || a.view() == b.view();
  }
  friend bool operator==(const SharedText& a, std::string_view b) { return a.view() == b; }
  friend bool operator==(const SharedText& a, const std::string& b) { return a.view() == b; }
  friend bool operator==(const SharedText& a, const char* b) { return a.view() == b; }
  friend auto operator<=>(const SharedText& a, const SharedText& b) { return a.view() <=> b.view(); }
  friend std::ostream& operator<<(std::ostream& out, const SharedText& text) { return out << text.view(); }

 private:
  // The count of a lasting text.
  static constexpr uint32_t kLasting = UINT32_MAX;

  // The count and size, then the characters.
  struct Rep {
    std::atomic<uint32_t> refs;
    uint32_t size;
    char* chars() { return reinterpret_cast<char*>(this + 1); }
    const char* chars() const { return reinterpret_cast<const char*>(this + 1); }
  };
  bool counted() const noexcept {
    return rep_ != nullptr && rep_->refs.load(std::memory_order_relaxed) != kLasting;
  }
  void release() noexcept;

  Rep* rep_ = nullptr;
};

// Hashes a SharedText and any other text alike, so that maps keyed by
// SharedText find by std::string or std::string_view without a copy.
struct SharedTextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>()(text); }
};

// Hands out one SharedText per distinct text, for as long as the pool
// lives: a reader of many records that repeat a text keeps it once.
class TextPool {
 public:
  SharedText share(std::string_view text);

 private:
  struct Same {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept { return a == b; }
  };
  std::unordered_set<SharedText, SharedTextHash, Same> texts_;
};

}  // namespace ZezozuRiziv
