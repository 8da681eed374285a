// zelm status on any reply a peer can send: it never crashes, both views agree on what they
// refuse, and nothing of the reply reaches the terminal as a control character.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "status_view.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view reply(reinterpret_cast<const char*>(data), size);
  std::string text, pretty, error;
  const bool shown = zelm::FormatStatus(reply, &text, &error);
  if (shown != zelm::PrettyStatus(reply, &pretty, &error)) std::abort();
  for (std::size_t i = 0; shown && i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const bool control =
        (c < 0x20 && c != '\n') || c == 0x7F ||
        (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
         static_cast<unsigned char>(text[i + 1]) <= 0x9F);
    if (control) std::abort();
  }
  return 0;
}
