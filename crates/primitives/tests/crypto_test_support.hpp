// Shared helpers for the identity and Ed25519 tests: hex, vector files, timing.
#pragma once
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace ulo::test {

using ByteVec = std::vector<std::uint8_t>;

inline ByteVec from_hex(const std::string& hex) {
  ByteVec out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

inline std::string to_hex(const std::uint8_t* p, std::size_t n) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    s += kHex[p[i] >> 4];
    s += kHex[p[i] & 15];
  }
  return s;
}

inline std::vector<nlohmann::json> read_jsonl(const std::string& name) {
  std::ifstream in(std::string(ULO_TEST_DATA) + "/" + name);
  if (!in) throw std::runtime_error("missing vector file " + name);
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
  }
  return lines;
}

// Best of several batches, in microseconds per call: robust against a busy
// machine.
template <class F>
double best_micros(F&& f, int per_batch, int batches = 7) {
  double best = 1e18;
  for (int b = 0; b < batches; ++b) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < per_batch; ++i) f();
    const std::chrono::duration<double, std::micro> d = std::chrono::steady_clock::now() - t0;
    best = std::min(best, d.count() / per_batch);
  }
  return best;
}

// Timing bounds only mean something in an optimised, uninstrumented build.
#if defined(NDEBUG) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
inline constexpr bool kTimingMeaningful = true;
#else
inline constexpr bool kTimingMeaningful = false;
#endif

}  // namespace ulo::test
