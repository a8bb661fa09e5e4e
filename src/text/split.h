#pragma once
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace lumora::text {

// Splits a GBK text at a separator:
//  - an empty text gives no pieces;
//  - an empty separator gives the whole text as the only piece;
//  - otherwise the text is scanned from the left; each match ends a piece
//    (possibly empty); a mismatch steps one character, two bytes for a GBK
//    lead byte followed by a non-zero byte, so a separator is never found
//    inside a two-byte character;
//  - the rest after the last match is a final piece only when not empty.
// With max_pieces > 0 the scan stops once that many pieces are made and the
// rest is dropped.
std::vector<std::string> split_by_separator(std::string_view text, std::string_view separator,
                                            std::size_t max_pieces = 0);

}  // namespace lumora::text
