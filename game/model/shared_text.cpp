#include "game/model/shared_text.h"

#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace ZezozuRiziv {

SharedText::SharedText(std::string_view text) {
  if (text.empty()) return;
  // Texts come from requests and world lines, both far below this.
  if (text.size() > std::numeric_limits<uint32_t>::max()) throw std::length_error("SharedText");
  void* block = ::operator new(sizeof(Rep) + text.size());
  rep_ = new (block) Rep{{1}, static_cast<uint32_t>(text.size())};
  std::memcpy(rep_->chars(), text.data(), text.size());
}

SharedText SharedText::lasting(std::string_view text) {
  SharedText lasting(text);
  if (lasting.rep_ != nullptr) lasting.rep_->refs.store(kLasting, std::memory_order_relaxed);
  return lasting;
}

void SharedText::release() noexcept {
  if (!counted()) {
    rep_ = nullptr;
    return;
  }
  if (rep_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    rep_->~Rep();
    ::operator delete(rep_);
  }
  rep_ = nullptr;
}

SharedText TextPool::share(std::string_view text) {
  if (text.empty()) return SharedText();
  const auto it = texts_.find(text);
  if (it != texts_.end()) return *it;
  return *texts_.emplace(text).first;
}

}  // namespace ZezozuRiziv
