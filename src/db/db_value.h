#pragma once
// DbValue: one cell of a row, as the database gave it (texts are GBK inside
// the program; db/ converts from and to the file's UTF-8 at its edge).
#include <cstdint>
#include <string>
#include <string_view>

namespace lumora::db {

// The storage class of one cell.
enum class ValueType : std::uint8_t { empty = 0, integer = 1, real = 2, text = 3, blob = 4 };

// How a column's values become JSON, decided from the column's value in the
// first row (and its declared type, which alone tells booleans and dates).
enum class ColumnKind { number, text, boolean, datetime, empty, undetermined, other };

struct DbValue {
  ValueType type = ValueType::empty;
  std::int64_t integer = 0;
  double real = 0.0;
  std::string bytes;  // text (GBK) or blob bytes

  static DbValue of_int(std::int64_t v) {
    DbValue d;
    d.type = ValueType::integer;
    d.integer = v;
    return d;
  }
  static DbValue of_real(double v) {
    DbValue d;
    d.type = ValueType::real;
    d.real = v;
    return d;
  }
  static DbValue of_text(std::string_view v) {
    DbValue d;
    d.type = ValueType::text;
    d.bytes = std::string(v);
    return d;
  }
  static DbValue of_blob(std::string_view v) {
    DbValue d;
    d.type = ValueType::blob;
    d.bytes = std::string(v);
    return d;
  }

  bool is_empty() const { return type == ValueType::empty; }
  // Conversions as a variant converts: numbers to decimal text, texts to
  // their leading number, empty to "" or 0.
  std::string as_text() const;
  std::int64_t as_int64() const;
  double as_double() const;
  bool as_bool() const;

  bool operator==(const DbValue& other) const;
};

// The decimal text of a real number (shortest form that reads back the same).
std::string real_text(double value);

// A date and time read from a cell: ISO texts ("2024-05-01 08:09:10",
// "2024-05-01", "08:09:10"), Unix seconds (integer) or a Julian day (real).
struct DateTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  bool valid = false;
};
DateTime to_datetime(const DbValue& value);
std::string time_text(const DateTime& t);      // "08:09:10"
std::string date_text(const DateTime& t);      // "2024-05-01"
std::string datetime_text(const DateTime& t);  // "2024-05-01 08:09:10"

// The kind of a column from its declared type and its first-row value.
ColumnKind column_kind(std::string_view declared_type, const DbValue& first_value);

}  // namespace lumora::db
