#pragma once
// RecordSet and PagedRecordSet: a client-side cursor over the rows of one
// query. Opening runs the statement and keeps every row in memory, so the
// cursor moves, pages and counts without going back to the database, and a
// record set outlives the connection it was opened on.
//
// Positions: one current row, or before the first (BOF) / after the last
// (EOF). Pages hold page_size rows and are numbered from 1. Failures are
// results; the reason is in last_error() (GBK).
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/db_value.h"
#include "json/json_document.h"

namespace lumora::db {

class DbConnection;
namespace detail {
struct DbHandle;
}

// What opening produced: the columns and every row.
struct ResultTable {
  std::vector<std::string> names;           // GBK
  std::vector<std::string> declared_types;  // as the schema wrote them
  std::vector<std::vector<DbValue>> rows;
  bool has_columns = false;
};

// Positions that are not a page.
inline constexpr long kPageUnknown = -1;
inline constexpr long kPageBof = -2;
inline constexpr long kPageEof = -3;

class RecordSetBase {
 public:
  RecordSetBase() = default;

  // ---- common ----
  // Forgets any rows and the connection: an unopened record set.
  void rs_create();
  // The record set will run on that connection (shares its handle).
  void rs_attach(const DbConnection& connection);
  // command_option 0 or 1: source is an SQL text; otherwise a table name and
  // the text run is "select * from " + name. True when rows can be read (a
  // statement that yields no columns leaves the record set closed).
  bool rs_open(std::string_view source, int cursor_type = 3, int lock_type = 2,
               int command_option = 1);
  void rs_close();
  bool is_open() const { return open_; }
  void set_cursor_type(int type) { cursor_type_ = type; }
  void set_cursor_location(int location) { cursor_location_ = location; }
  int cursor_type() const { return cursor_type_; }
  int cursor_location() const { return cursor_location_; }

  long record_count() const;
  int field_count() const;
  std::string field_name(int column) const;  // 1-based
  int field_names(std::vector<std::string>& out) const;
  // The current row's value; empty when there are no fields, no current row
  // or no such column.
  DbValue field_value(std::string_view name) const;

  bool move_previous();
  bool move_next();
  bool move_first();
  bool move_last();
  bool bof() const;
  bool eof() const;
  // 0-based index of the current row, -1 before the first, record_count() after the last.
  long position() const { return position_; }

  // The whole record set (columns, declared types, every row with its
  // storage class) in our own versioned, length-prefixed format; empty when
  // the record set is not open.
  std::string save_to_bytes() const;
  // Opens the record set from save_to_bytes' output, without a connection.
  // Bytes that are truncated, oversized or otherwise malformed are refused
  // (false, the record set stays as it was).
  bool load_from_bytes(std::string_view bytes);

  bool refresh_rs_error();
  const std::string& last_error() const { return error_; }

  // ---- paging ----
  long page_size() const { return page_size_; }
  bool set_page_size(long rows);
  // The page of the current row, or kPageBof / kPageEof.
  long absolute_page() const;
  bool set_absolute_page(long page);
  long page_count() const;
  bool first_page(long& page);
  bool last_page(long& page);
  bool previous_page(long& page);
  bool next_page(long& page);

  // The rows as they are (for callers that read the whole result).
  const ResultTable& table() const { return table_; }

 protected:
  friend class DbConnection;
  bool has_row() const;
  int column_index(std::string_view name) const;
  // Sets the platform error and copies it into the error text.
  bool fail(std::string_view message);
  bool succeed();
  bool open_from_table(ResultTable table);

  std::shared_ptr<detail::DbHandle> handle_;
  ResultTable table_;
  long position_ = -1;
  bool open_ = false;
  long page_size_ = 10;
  int cursor_type_ = 3;
  int cursor_location_ = 3;
  std::string platform_error_;
  std::string error_;
};

class RecordSet : public RecordSetBase {
 public:
  // Typed readers of the current row, by column name.
  std::string get_text(std::string_view name) const;
  std::int32_t get_int(std::string_view name) const;
  std::int64_t get_int64(std::string_view name) const;
  float get_float(std::string_view name) const;
  double get_double(std::string_view name) const;
  bool get_bool(std::string_view name) const;
  std::string get_bytes(std::string_view name) const;
  DateTime get_datetime(std::string_view name) const;
  // "08:09:10", "2024-05-01", "2024-05-01 08:09:10"; empty when the value is
  // no date or time.
  std::string get_time_text(std::string_view name) const;
  std::string get_date_text(std::string_view name) const;
  std::string get_datetime_text(std::string_view name) const;

  // Writes the value into the current row of this record set (in memory: the
  // database is written through save_record or statements).
  bool set_field_value(std::string_view name, const DbValue& value);
  // The current row's value of a 0-based column; "列号小于0", "找不到记录",
  // "找不到字段" with an empty value.
  DbValue cell_value(int column);
  // Every row from the current one on (from the first when before it),
  // moving forward; the row count.
  long read_all(std::vector<std::string>& names, std::vector<std::vector<DbValue>>& values);
  // start: 0 current row, 1 first row, 2 last row.
  bool move_by(long count, int start = 1);
  // Writes an .xlsx: with a header row the column names fill row 1 and the
  // rows start at A2. Rows are copied from the current one (the first when
  // before it). True when the file exists afterwards. path is GBK.
  bool export_excel(std::string_view path, bool with_header = true);
};

class PagedRecordSet : public RecordSetBase {
 public:
  bool open_for_paging(const DbConnection& connection, std::string_view sql, long page_size);
  // Appends one object per row of the page (page 0: from the current row);
  // returns the page size, 0 when the record set has no columns.
  long page_to_json(json::JsonDocument& rows, long page = 0);
};

// Row to JSON, shared by DbConnection and the paged record set: one member
// per column, kinds from the first row. A number within 0.0000001 of an
// integer is written as that integer (in 64 bits, so large uids survive).
void row_to_json(json::JsonDocument& document, json::JsonValue object,
                 const std::vector<std::string>& names, const std::vector<ColumnKind>& kinds,
                 const std::vector<DbValue>& row);
std::vector<ColumnKind> column_kinds(const ResultTable& table, long first_row);

}  // namespace lumora::db
