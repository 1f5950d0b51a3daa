#include "classify.hpp"

#include <array>
#include <string>

namespace ulo {
namespace {

struct HostRule {
  std::string_view host;
  std::string_view pair_class;
};

// Tested in order: the first host found anywhere in the counterparty decides.
constexpr std::array<HostRule, 10> kHostRules = {{
    {"addressing.tovane.net", "causal"},
    {"governance.tovane.net", "compliance"},
    {"compliance.tovane.net", "compliance"},
    {"api.stripe.com", "marketplace"},
    {"api.paddle.com", "marketplace"},
    {"api.lemonsqueezy.com", "marketplace"},
    {"api.nango.dev", "enrichment"},
    {"company.clearbit.com", "enrichment"},
    {"api.apollo.io", "enrichment"},
    {"api.hunter.io", "enrichment"},
}};

struct HintRule {
  std::string_view hint;
  std::string_view pair_class;
};

constexpr std::array<HintRule, 10> kHintRules = {{
    {"tcp", "routing"},   {"quic", "routing"},  {"libp2p", "routing"},
    {"webrtc", "routing"}, {"dns", "discovery"}, {"mdns", "discovery"},
    {"dnssd", "discovery"}, {"x3dh", "trust"},   {"noise", "trust"},
    {"tls-handshake", "trust"},
}};

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

std::string_view classify_exchange(std::string_view protocol_hint,
                                   std::string_view counterparty) {
  const std::string who = ascii_lower(counterparty);
  for (const HostRule& rule : kHostRules) {
    if (who.find(rule.host) != std::string::npos) return rule.pair_class;
  }
  const std::string hint = ascii_lower(protocol_hint);
  for (const HintRule& rule : kHintRules) {
    if (hint == rule.hint) return rule.pair_class;
  }
  return "routing";
}

}  // namespace ulo
