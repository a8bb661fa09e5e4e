#pragma once
#include <string>
#include <string_view>

namespace lumora::text {

// Tells UTF-8 from GBK by the first byte above 0x7F: a byte-order mark, or a
// three- or four-byte UTF-8 sequence there, means UTF-8; anything else (a
// two-byte lead included, a cut sequence, pure ASCII, empty) does not.
bool looks_like_utf8(std::string_view bytes) noexcept;

// Percent-decodes bytes ("+" stays "+"; "%" among the last two bytes ends the
// decoding; "%" before a non-hex pair stays as written). When the decoded
// bytes look like UTF-8 they are converted to GBK and *was_utf8 is set.
std::string percent_decode(std::string_view encoded, bool* was_utf8 = nullptr);

// Percent-encodes bytes, leaving A-Z a-z 0-9 and "-_.~" as they are.
std::string percent_encode(std::string_view bytes);

// A GBK text percent-encoded as UTF-8 (the form outside APIs expect in a query).
std::string percent_encode_utf8(std::string_view gbk_text);

}  // namespace lumora::text
