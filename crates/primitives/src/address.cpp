#include "address.hpp"

#include <cstring>

namespace ulo {
namespace {

constexpr std::string_view kScheme = "tov://";

inline std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct SipState {
  std::uint64_t v0 = 0x736f6d6570736575ULL;
  std::uint64_t v1 = 0x646f72616e646f6dULL;
  std::uint64_t v2 = 0x6c7967656e657261ULL;
  std::uint64_t v3 = 0x7465646279746573ULL;

  void round() {
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
  }
  void compress(std::uint64_t m) {
    v3 ^= m;
    round();
    v0 ^= m;
  }
};

// Streaming SipHash-1-3 with the all-zero key, so the hash input never has to
// be assembled in one buffer.
class SipHasher13 {
 public:
  void write(const void* data, std::size_t len) {
    auto p = static_cast<const unsigned char*>(data);
    length_ += len;
    while (len > 0) {
      if (tail_len_ == 0 && len >= 8) {
        std::uint64_t m;
        std::memcpy(&m, p, 8);
        state_.compress(m);
        p += 8;
        len -= 8;
        continue;
      }
      tail_ |= static_cast<std::uint64_t>(*p) << (8 * tail_len_);
      ++p;
      --len;
      if (++tail_len_ == 8) {
        state_.compress(tail_);
        tail_ = 0;
        tail_len_ = 0;
      }
    }
  }
  std::uint64_t finish() {
    std::uint64_t b = (static_cast<std::uint64_t>(length_) << 56) | tail_;
    state_.compress(b);
    state_.v2 ^= 0xff;
    state_.round();
    state_.round();
    state_.round();
    return state_.v0 ^ state_.v1 ^ state_.v2 ^ state_.v3;
  }

 private:
  SipState state_;
  std::uint64_t tail_ = 0;
  unsigned tail_len_ = 0;
  std::size_t length_ = 0;
};

}  // namespace

std::optional<ProtocolAddress> parse_uri(std::string_view uri) {
  if (!uri.starts_with(kScheme)) return std::nullopt;
  std::string_view rest = uri.substr(kScheme.size());
  std::size_t first = rest.find('/');
  if (first == std::string_view::npos) return std::nullopt;
  std::size_t second = rest.find('/', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  auto cls = value_named<AddressClass>(rest.substr(0, first));
  if (!cls) return std::nullopt;
  return ProtocolAddress{*cls, std::string(rest.substr(first + 1, second - first - 1)),
                         std::string(rest.substr(second + 1))};
}

std::size_t uri_size(const ProtocolAddress& a) {
  return kScheme.size() + name_of(a.cls).size() + a.type.size() + a.ref.size() + 2;
}

void write_uri(const ProtocolAddress& a, char* out) {
  // A plain loop: for pieces this short a library memcpy call costs more.
  auto put = [&out](std::string_view s) {
    for (char c : s) *out++ = c;
  };
  put(kScheme);
  put(name_of(a.cls));
  *out++ = '/';
  put(a.type);
  *out++ = '/';
  put(a.ref);
}

std::string to_uri(const ProtocolAddress& a) {
  std::string out(uri_size(a), '\0');
  write_uri(a, out.data());
  return out;
}

std::int64_t content_hash(const ProtocolAddress& a) {
  // Class index as u64 LE, then each text terminated by 0xFF (never valid
  // inside UTF-8), so ("a", "bc") and ("ab", "c") hash apart.
  SipHasher13 h;
  unsigned char index[8] = {static_cast<unsigned char>(a.cls), 0, 0, 0, 0, 0, 0, 0};
  const unsigned char ff = 0xff;
  h.write(index, sizeof index);
  h.write(a.type.data(), a.type.size());
  h.write(&ff, 1);
  h.write(a.ref.data(), a.ref.size());
  h.write(&ff, 1);
  auto v = static_cast<std::int64_t>(h.finish());
  return v == -1 ? -2 : v;
}

}  // namespace ulo
