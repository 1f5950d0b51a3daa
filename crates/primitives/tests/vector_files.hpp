// Reading the shared vector files of tests/data, for the C++ suites.
#pragma once
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ulo_test {

using ByteVec = std::vector<std::uint8_t>;

inline ByteVec from_hex(const std::string& hex) {
  ByteVec out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return out;
}

// One JSON value per non-empty line of tests/data/<name>.
inline std::vector<nlohmann::json> read_jsonl(const std::string& name) {
  std::ifstream in(std::string(ULO_TEST_DATA) + "/" + name);
  std::vector<nlohmann::json> lines;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
  }
  return lines;
}

}  // namespace ulo_test
