// The names of a queue directory's entries, packed for large backlogs: each
// name is kept once without its ".json", length first, in 1 MiB blocks, and
// referred to by 4 bytes. A million UUID-named items take about 41 MB here,
// where a string each would take about 80.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace ulo {

class EntryNames {
 public:
  // Adds the entry `name`, which ends in ".json". False when the store is
  // full (4 GiB of names).
  bool add(std::string_view name);
  std::size_t size() const noexcept { return refs_.size(); }
  // The i-th name in the current order, without ".json".
  std::string_view stem(std::size_t i) const noexcept;
  // The i-th full name, into `out` (NUL-terminated for the OS).
  const char* name(std::size_t i, std::string& out) const;

  // Puts every name before `end` in its final place in byte order (of the
  // full names, a prefix first), sorting no more of the rest than that
  // needs; later calls continue where this one left off. False when `stop`
  // turned true first (the order is then partial but every name is kept).
  bool sort_until(std::size_t end, const std::atomic<bool>& stop);
  // How many leading names are in their final place.
  std::size_t sorted() const noexcept { return sorted_; }

 private:
  static constexpr std::size_t kBlockBits = 20;
  static constexpr std::size_t kBlock = std::size_t{1} << kBlockBits;
  bool less(std::uint32_t a, std::uint32_t b) const noexcept;
  std::string_view at(std::uint32_t ref) const noexcept;

  std::vector<std::unique_ptr<char[]>> blocks_;
  std::size_t used_ = kBlock;  // bytes used in the last block
  std::vector<std::uint32_t> refs_;
  std::size_t sorted_ = 0;
  // Ends of the segments still to sort, nearest last: every name in a
  // segment sorts before every name in the next.
  std::vector<std::size_t> bounds_;
  std::uint64_t rng_ = 0x9e3779b97f4a7c15;  // pivot choice
};

}  // namespace ulo
