// Pages from the dapp directory, kept in RAM by path and modification time.
#include <fstream>
#include <iterator>

#include "platform/file_system.h"
#include "server/rpc_server.h"

namespace ZezozuRiziv {

bool RPCServer::serve_cached_asset(HttpExchange& exchange, const std::string& file_path,
                                   const std::string& content_type) {
  const auto start = Clock::now();
  if (is_unsafe_file_path(file_path)) return false;
  platform::FileInfo info;
  // A directory or a device is "not found": only plain files are pages.
  if (!platform::stat_file(file_path, info) || !info.regular) return false;

  std::shared_ptr<const std::string> content;
  {
    std::shared_lock lock(asset_cache_lock_);
    const auto it = asset_cache_.find(file_path);
    if (it != asset_cache_.end() && it->second.modified_ns == info.modified_ns) {
      content = it->second.content;
    }
  }
  if (content) {
    ++counters.ram_cache_hits;
  } else {
    std::ifstream in(file_path, std::ios::binary);
    if (!in) return false;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return false;
    content = std::make_shared<const std::string>(std::move(bytes));
    std::unique_lock lock(asset_cache_lock_);
    asset_cache_[file_path] = CachedStaticAsset{content, info.modified_ns};
  }
  // Sent with no lock held: a slow client cannot block the cache.
  const uint64_t latency = HttpTransport::latency_since(start);
  counters.total_latency_us += latency;
  transport_.send_http_response(exchange, 200, "OK", content_type, *content, latency);
  return true;
}

}  // namespace ZezozuRiziv
