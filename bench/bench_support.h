// Small measuring helpers shared by the benchmarks.
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/socket.h"

namespace rozeve_bench {

inline constexpr int kIoTimeoutMs = 30'000;

// GET `target` on its own connection to 127.0.0.1; the answer's body, ""
// when none came.
inline std::string request(uint16_t port, const std::string& target) {
  const platform::SocketHandle s = platform::connect_tcp("127.0.0.1", port, kIoTimeoutMs);
  if (s == platform::kInvalidSocket) return "";
  std::string answer;
  if (platform::send_all(s, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", kIoTimeoutMs)) {
    char buffer[16384];
    while (true) {
      const long n = platform::receive(s, buffer, sizeof buffer, kIoTimeoutMs);
      if (n <= 0) break;
      answer.append(buffer, static_cast<size_t>(n));
    }
  }
  platform::close_socket(s);
  const size_t end = answer.find("\r\n\r\n");
  return end == std::string::npos ? "" : answer.substr(end + 4);
}

// A value of /proc/self/status ("VmRSS", "VmHWM"), in bytes; 0 when unknown.
inline uint64_t proc_status_bytes(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key + ":", 0) != 0) continue;
    try {
      return std::stoull(line.substr(key.size() + 1)) * 1024;  // the kernel reports kB
    } catch (const std::exception&) {
      return 0;
    }
  }
  return 0;
}

inline uint64_t file_size_or_zero(const std::filesystem::path& path) {
  std::error_code ec;
  const auto size = std::filesystem::file_size(path, ec);
  return ec ? 0 : static_cast<uint64_t>(size);
}

}  // namespace rozeve_bench
