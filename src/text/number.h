#pragma once
#include <cstdint>
#include <string_view>

namespace lumora::text {

// The leading decimal integer of a text: optional blanks (spaces and tabs), an
// optional "+" or "-", then digits up to the first non-digit. Accumulates with
// wrap-around in 64 bits; no digits gives 0.
std::int64_t read_leading_int64(std::string_view text) noexcept;

// As read_leading_int64, keeping the low 32 bits read as signed (uid, N, gift
// id and price are read this way).
std::int32_t read_leading_int(std::string_view text) noexcept;

}  // namespace lumora::text
