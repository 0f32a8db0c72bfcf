// Small measuring helpers shared by the benchmarks.
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

namespace rozeve_bench {

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
