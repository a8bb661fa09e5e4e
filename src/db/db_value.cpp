#include "db/db_value.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "text/number.h"

namespace lumora::db {

std::string real_text(double value) {
  if (std::isnan(value) || std::isinf(value)) return "";
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof(buffer), value);
  return std::string(buffer, result.ptr);
}

std::string DbValue::as_text() const {
  switch (type) {
    case ValueType::integer:
      return std::to_string(integer);
    case ValueType::real:
      return real_text(real);
    case ValueType::text:
    case ValueType::blob:
      return bytes;
    default:
      return {};
  }
}

std::int64_t DbValue::as_int64() const {
  switch (type) {
    case ValueType::integer:
      return integer;
    case ValueType::real:
      if (!(real > -9.2e18 && real < 9.2e18)) return 0;
      return static_cast<std::int64_t>(real);
    case ValueType::text:
      return text::read_leading_int64(bytes);
    default:
      return 0;
  }
}

double DbValue::as_double() const {
  switch (type) {
    case ValueType::integer:
      return static_cast<double>(integer);
    case ValueType::real:
      return real;
    case ValueType::text:
      return std::strtod(bytes.c_str(), nullptr);
    default:
      return 0.0;
  }
}

bool DbValue::as_bool() const {
  switch (type) {
    case ValueType::integer:
      return integer != 0;
    case ValueType::real:
      return real != 0.0;
    case ValueType::text:
      return bytes == "1" || bytes == "true" || bytes == "TRUE" || bytes == "True" ||
             std::strtod(bytes.c_str(), nullptr) != 0.0;
    default:
      return false;
  }
}

bool DbValue::operator==(const DbValue& other) const {
  if (type != other.type) return false;
  switch (type) {
    case ValueType::integer:
      return integer == other.integer;
    case ValueType::real:
      return real == other.real || (std::isnan(real) && std::isnan(other.real));
    case ValueType::text:
    case ValueType::blob:
      return bytes == other.bytes;
    default:
      return true;
  }
}

namespace {

bool read_digits(std::string_view s, std::size_t& pos, std::size_t count, int& out) {
  if (pos + count > s.size()) return false;
  int v = 0;
  for (std::size_t i = 0; i < count; ++i) {
    char c = s[pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  pos += count;
  out = v;
  return true;
}

bool parse_time(std::string_view s, std::size_t& pos, DateTime& t) {
  if (!read_digits(s, pos, 2, t.hour) || pos >= s.size() || s[pos] != ':') return false;
  ++pos;
  if (!read_digits(s, pos, 2, t.minute)) return false;
  if (pos < s.size() && s[pos] == ':') {
    ++pos;
    if (!read_digits(s, pos, 2, t.second)) return false;
  }
  return t.hour < 24 && t.minute < 60 && t.second < 62;
}

DateTime from_unix(std::int64_t seconds) {
  DateTime t;
  std::time_t when = static_cast<std::time_t>(seconds);
  std::tm parts{};
  if (!gmtime_r(&when, &parts)) return t;
  t.year = parts.tm_year + 1900;
  t.month = parts.tm_mon + 1;
  t.day = parts.tm_mday;
  t.hour = parts.tm_hour;
  t.minute = parts.tm_min;
  t.second = parts.tm_sec;
  t.valid = true;
  return t;
}

}  // namespace

DateTime to_datetime(const DbValue& value) {
  DateTime t;
  if (value.type == ValueType::integer) {
    // Unix seconds, bounded to years 0..9999 so gmtime never overflows.
    if (value.integer < -62167219200LL || value.integer > 253402300799LL) return t;
    return from_unix(value.integer);
  }
  if (value.type == ValueType::real) {
    // A Julian day number, as SQLite's julianday() gives.
    double seconds = std::round((value.real - 2440587.5) * 86400.0);
    if (!(seconds > -62167219200.0 && seconds < 253402300799.0)) return t;
    return from_unix(static_cast<std::int64_t>(seconds));
  }
  if (value.type != ValueType::text) return t;
  std::string_view s = value.bytes;
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  std::size_t pos = 0;
  if (s.size() >= 10 && s[4] == '-' && s[7] == '-') {
    if (!read_digits(s, pos, 4, t.year)) return t;
    ++pos;
    if (!read_digits(s, pos, 2, t.month)) return t;
    ++pos;
    if (!read_digits(s, pos, 2, t.day)) return t;
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31) return t;
    if (pos < s.size() && (s[pos] == ' ' || s[pos] == 'T')) {
      ++pos;
      DateTime time = t;
      if (!parse_time(s, pos, time)) return t;
      t = time;
    }
    t.valid = true;
    return t;
  }
  if (parse_time(s, pos, t)) {
    // A time of day alone: the date part is the platform's day zero.
    t.year = 1899;
    t.month = 12;
    t.day = 30;
    t.valid = true;
  }
  return t;
}

std::string time_text(const DateTime& t) {
  if (!t.valid) return {};
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%02d:%02d:%02d", t.hour, t.minute, t.second);
  return buffer;
}

std::string date_text(const DateTime& t) {
  if (!t.valid) return {};
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "%d-%02d-%02d", t.year, t.month, t.day);
  return buffer;
}

std::string datetime_text(const DateTime& t) {
  if (!t.valid) return {};
  return date_text(t) + " " + time_text(t);
}

namespace {
bool contains_word(std::string_view declared, std::string_view word) {
  if (word.size() > declared.size()) return false;
  for (std::size_t i = 0; i + word.size() <= declared.size(); ++i) {
    bool same = true;
    for (std::size_t j = 0; j < word.size() && same; ++j) {
      char c = declared[i + j];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      same = c == word[j];
    }
    if (same) return true;
  }
  return false;
}
}  // namespace

ColumnKind column_kind(std::string_view declared_type, const DbValue& first_value) {
  switch (first_value.type) {
    case ValueType::empty:
      return ColumnKind::empty;
    case ValueType::blob:
      return ColumnKind::other;
    default:
      break;
  }
  if (contains_word(declared_type, "BOOL")) return ColumnKind::boolean;
  if (contains_word(declared_type, "DATE") || contains_word(declared_type, "TIME"))
    return ColumnKind::datetime;
  if (first_value.type == ValueType::text) return ColumnKind::text;
  return ColumnKind::number;
}

}  // namespace lumora::db
