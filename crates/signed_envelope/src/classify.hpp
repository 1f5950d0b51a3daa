// Classification of exchanges into pair classes.
#pragma once
#include <string_view>

namespace ulo {

// One of: routing, discovery, enrichment, causal, marketplace, trust,
// compliance (composition, conductance, mediation, preference are never
// produced).
std::string_view classify_exchange(std::string_view protocol_hint,
                                   std::string_view counterparty);

}  // namespace ulo
