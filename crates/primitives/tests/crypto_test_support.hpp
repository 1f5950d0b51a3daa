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

}  // namespace ulo::test
