#include "text/split.h"

namespace lumora::text {

std::vector<std::string> split_by_separator(std::string_view text, std::string_view separator,
                                            std::size_t max_pieces) {
  std::vector<std::string> pieces;
  if (text.empty()) return pieces;
  if (separator.empty()) {
    pieces.emplace_back(text);
    return pieces;
  }
  size_t piece_start = 0;
  size_t i = 0;
  while (i < text.size()) {
    if (text.compare(i, separator.size(), separator) == 0) {
      pieces.emplace_back(text.substr(piece_start, i - piece_start));
      if (max_pieces != 0 && pieces.size() >= max_pieces) return pieces;
      i += separator.size();
      piece_start = i;
      continue;
    }
    unsigned char b = static_cast<unsigned char>(text[i]);
    bool two_bytes = b >= 0x80 && i + 1 < text.size() && text[i + 1] != '\0';
    i += two_bytes ? 2 : 1;
  }
  if (piece_start < text.size()) pieces.emplace_back(text.substr(piece_start));
  return pieces;
}

}  // namespace lumora::text
