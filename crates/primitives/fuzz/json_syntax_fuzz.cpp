// Differential: the reader's generic value skipper (what every record reader
// uses for members it does not know) must accept exactly the texts that an
// independent JSON parser accepts as one value surrounded by whitespace.
//
// Two deliberate differences are excluded:
//  - values that are thrown away do not have their \u escapes checked for
//    surrogate pairing, while the reference rejects an unpaired surrogate
//    escape: inputs holding a surrogate escape are compared only where the
//    reference accepts them;
//  - the reference skips a leading byte order mark and stops at a zero byte,
//    neither of which the JSON grammar allows: such inputs must be refused;
//  - the reference refuses numbers too large for a double, a value rule
//    rather than syntax, and skipped values are never converted: such a
//    number is replaced by 0 for the reference.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "json_reader.hpp"

namespace {

bool has_surrogate_escape(std::string_view s) {
  for (std::size_t i = 0; i + 2 < s.size(); ++i) {
    if (s[i] != '\\') continue;
    if (s[i + 1] == 'u' && (s[i + 2] == 'd' || s[i + 2] == 'D') && i + 3 < s.size()) {
      const char c = s[i + 3];
      if ((c >= '8' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')) return true;
    }
    ++i;  // the escaped byte is not itself an escape
  }
  return false;
}

bool is_number_byte(char c) {
  return (c >= '0' && c <= '9') || c == '-' || c == '+' || c == '.' || c == 'e' || c == 'E';
}

// The reference's verdict, with numbers that overflow a double read as 0.
// Its overflow error names the number's text, which is replaced where it
// stands alone (not inside a longer number).
bool reference_accepts(std::string text) {
  // Each round replaces one number, so the text's length bounds the rounds.
  for (std::size_t rounds = 0, limit = text.size(); rounds <= limit; ++rounds) {
    try {
      (void)nlohmann::json::parse(text);
      return true;
    } catch (const nlohmann::json::parse_error&) {
      return false;
    } catch (const nlohmann::json::out_of_range& e) {
      const std::string_view what = e.what();
      constexpr std::string_view kLead = "number overflow parsing '";
      const auto open = what.find(kLead);
      if (open == std::string_view::npos) return false;
      const auto begin_tok = open + kLead.size();
      const std::string token(what.substr(begin_tok, what.rfind('\'') - begin_tok));
      std::size_t at = 0;
      for (;; ++at) {
        at = text.find(token, at);
        if (at == std::string::npos) return false;
        const std::size_t end = at + token.size();
        if ((at == 0 || !is_number_byte(text[at - 1])) &&
            (end == text.size() || !is_number_byte(text[end])))
          break;
      }
      text.replace(at, token.size(), "0");
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  ulo::JsonReader r(text);
  const bool ours = r.skip_value() && r.end();
  if (text.starts_with("\xEF\xBB\xBF") || text.find('\0') != std::string_view::npos) {
    if (ours) std::abort();
    return 0;
  }
  if (ours == nlohmann::json::accept(text)) return 0;
  if (ours && has_surrogate_escape(text)) return 0;
  if (ours && reference_accepts(std::string(text))) return 0;
  std::abort();
}
