#include "db/record_set.h"

#include <xlsxwriter.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <system_error>

#include "db/db_connection.h"
#include "db/db_handle.h"
#include "text/gbk.h"
#include "text/literal.h"

namespace lumora::db {

using namespace text::literals;

namespace {

const std::string& closed_message() {
  return "对象关闭时，不允许操作。"_gbk;
}
const std::string& no_row_message() {
  return "BOF 或 EOF 中有一个是“真”，或者当前记录已被删除。"_gbk;
}
const std::string& page_range_message() {
  return "页码超出范围。"_gbk;
}

// Escapes a column name as one path token ("/" and "~" are path syntax).
std::string path_token(std::string_view name) {
  std::string token;
  token.reserve(name.size());
  for (char c : name) {
    if (c == '~') {
      token += "~0";
    } else if (c == '/') {
      token += "~1";
    } else {
      token.push_back(c);
    }
  }
  return token;
}

void set_number(json::JsonDocument& document, std::string_view path, json::JsonValue object,
                double real) {
  double nearest = std::round(real);
  if (std::fabs(real - nearest) < 0.0000001 && nearest > -9.2e18 && nearest < 9.2e18) {
    document.SetInt64(path, static_cast<std::int64_t>(nearest), object);
  } else {
    document.SetNumber(path, real, object);
  }
}

}  // namespace

std::vector<ColumnKind> column_kinds(const ResultTable& table, long first_row) {
  std::vector<ColumnKind> kinds;
  kinds.reserve(table.names.size());
  bool has = first_row >= 0 && static_cast<std::size_t>(first_row) < table.rows.size();
  for (std::size_t c = 0; c < table.names.size(); ++c) {
    kinds.push_back(has ? column_kind(table.declared_types[c], table.rows[first_row][c])
                        : ColumnKind::empty);
  }
  return kinds;
}

void row_to_json(json::JsonDocument& document, json::JsonValue object,
                 const std::vector<std::string>& names, const std::vector<ColumnKind>& kinds,
                 const std::vector<DbValue>& row) {
  for (std::size_t c = 0; c < names.size() && c < row.size(); ++c) {
    // An empty name would address the row object itself.
    if (names[c].empty()) continue;
    std::string path = path_token(names[c]);
    const DbValue& value = row[c];
    ColumnKind kind = kinds[c];
    // SQLite types each cell: a column empty in the first row takes each
    // cell's own kind rather than turning every later value into null.
    if (kind == ColumnKind::empty) kind = column_kind({}, value);
    if (value.is_empty()) {
      if (kind != ColumnKind::other) document.SetNull(path, object);
      continue;
    }
    switch (kind) {
      case ColumnKind::number:
        if (value.type == ValueType::integer) {
          document.SetInt64(path, value.integer, object);
        } else {
          set_number(document, path, object, value.as_double());
        }
        break;
      case ColumnKind::text:
      case ColumnKind::datetime:
      case ColumnKind::undetermined:
        document.SetText(path, value.as_text(), object);
        break;
      case ColumnKind::boolean:
        document.SetBool(path, value.as_bool(), object);
        break;
      case ColumnKind::empty:
        document.SetNull(path, object);
        break;
      case ColumnKind::other:
        break;
    }
  }
}

// ---------------------------------------------------------------------------
// RecordSetBase

void RecordSetBase::rs_create() {
  handle_.reset();
  table_ = ResultTable{};
  position_ = -1;
  open_ = false;
  platform_error_.clear();
  error_.clear();
}

void RecordSetBase::rs_attach(const DbConnection& connection) {
  handle_ = connection.handle();
}

bool RecordSetBase::fail(std::string_view message) {
  platform_error_ = std::string(message);
  refresh_rs_error();
  return false;
}

bool RecordSetBase::succeed() {
  platform_error_.clear();
  return refresh_rs_error();
}

bool RecordSetBase::refresh_rs_error() {
  error_ = platform_error_;
  return error_.empty();
}

bool RecordSetBase::open_from_table(ResultTable table) {
  table_ = std::move(table);
  open_ = true;
  position_ = 0;  // the first row, or EOF when there is none
  return true;
}

bool RecordSetBase::rs_open(std::string_view source, int cursor_type, int lock_type,
                            int command_option) {
  (void)lock_type;  // rows are copies: there is nothing to lock
  cursor_type_ = cursor_type;
  rs_close();
  if (!handle_) return fail(closed_message());
  std::string sql = (command_option == 0 || command_option == 1)
                        ? std::string(source)
                        : "select * from " + std::string(source);
  ResultTable table;
  if (!detail::run_sql(*handle_, sql, &table, nullptr)) {
    std::lock_guard lock(handle_->mutex);
    return fail(handle_->last_error);
  }
  if (!table.has_columns) {
    // A statement without rows ran, but there is nothing to read.
    succeed();
    return false;
  }
  open_from_table(std::move(table));
  return succeed();
}

void RecordSetBase::rs_close() {
  table_ = ResultTable{};
  position_ = -1;
  open_ = false;
}

long RecordSetBase::record_count() const {
  return open_ ? static_cast<long>(table_.rows.size()) : 0;
}

int RecordSetBase::field_count() const {
  return open_ ? static_cast<int>(table_.names.size()) : 0;
}

std::string RecordSetBase::field_name(int column) const {
  if (column < 1 || column > field_count()) return {};
  return table_.names[static_cast<std::size_t>(column - 1)];
}

int RecordSetBase::field_names(std::vector<std::string>& out) const {
  out.clear();
  if (open_) out = table_.names;
  return static_cast<int>(out.size());
}

bool RecordSetBase::has_row() const {
  return open_ && position_ >= 0 && position_ < static_cast<long>(table_.rows.size());
}

int RecordSetBase::column_index(std::string_view name) const {
  for (std::size_t c = 0; c < table_.names.size(); ++c) {
    if (table_.names[c] == name) return static_cast<int>(c);
  }
  // Column names compare as SQLite compares them: ASCII letters either case.
  for (std::size_t c = 0; c < table_.names.size(); ++c) {
    const std::string& n = table_.names[c];
    if (n.size() != name.size()) continue;
    bool same = true;
    for (std::size_t i = 0; i < n.size() && same; ++i) {
      unsigned char a = static_cast<unsigned char>(n[i]), b = static_cast<unsigned char>(name[i]);
      if (a < 0x80 && b < 0x80) {
        same = std::tolower(a) == std::tolower(b);
      } else {
        same = a == b;
      }
    }
    if (same) return static_cast<int>(c);
  }
  return -1;
}

DbValue RecordSetBase::field_value(std::string_view name) const {
  if (!has_row()) return DbValue{};
  int c = column_index(name);
  if (c < 0) return DbValue{};
  return table_.rows[static_cast<std::size_t>(position_)][static_cast<std::size_t>(c)];
}

bool RecordSetBase::bof() const {
  return !open_ || position_ < 0 || table_.rows.empty();
}

bool RecordSetBase::eof() const {
  return !open_ || position_ >= static_cast<long>(table_.rows.size());
}

bool RecordSetBase::move_previous() {
  if (!open_) return fail(closed_message());
  if (position_ < 0 || table_.rows.empty()) return fail(no_row_message());
  --position_;
  return succeed();
}

bool RecordSetBase::move_next() {
  if (!open_) return fail(closed_message());
  if (position_ >= static_cast<long>(table_.rows.size())) return fail(no_row_message());
  ++position_;
  return succeed();
}

bool RecordSetBase::move_first() {
  if (!open_) return fail(closed_message());
  position_ = 0;
  return succeed();
}

bool RecordSetBase::move_last() {
  if (!open_) return fail(closed_message());
  position_ = table_.rows.empty() ? 0 : static_cast<long>(table_.rows.size()) - 1;
  return succeed();
}

// ---------------------------------------------------------------------------
// Paging

bool RecordSetBase::set_page_size(long rows) {
  if (rows < 0) {
    error_ = "每页的记录数小于0"_gbk;
    return false;
  }
  if (rows == 0) return fail(page_range_message());
  page_size_ = rows;
  return succeed();
}

long RecordSetBase::absolute_page() const {
  if (!open_ || table_.rows.empty() || position_ < 0) return kPageBof;
  if (position_ >= static_cast<long>(table_.rows.size())) return kPageEof;
  return position_ / page_size_ + 1;
}

bool RecordSetBase::set_absolute_page(long page) {
  if (!open_) return fail(closed_message());
  if (page < 1 || page > page_count()) return fail(page_range_message());
  position_ = (page - 1) * page_size_;
  return succeed();
}

long RecordSetBase::page_count() const {
  if (!open_) return kPageUnknown;
  long rows = static_cast<long>(table_.rows.size());
  return rows / page_size_ + (rows % page_size_ ? 1 : 0);
}

bool RecordSetBase::first_page(long& page) {
  page = 1;
  return set_absolute_page(page);
}

bool RecordSetBase::last_page(long& page) {
  page = page_count();
  return set_absolute_page(page);
}

bool RecordSetBase::previous_page(long& page) {
  long current = absolute_page();
  page = current < 2 ? 1 : current - 1;
  return set_absolute_page(page);
}

bool RecordSetBase::next_page(long& page) {
  long current = absolute_page();
  long count = page_count();
  page = current < 1 ? 1 : current + 1;
  if (page > count) page = count;
  return set_absolute_page(page);
}

// ---------------------------------------------------------------------------
// Bytes: "LMRS", version, then length-prefixed columns and rows. Integers are
// little-endian; every count is checked against the bytes that remain.

namespace {

constexpr char kMagic[4] = {'L', 'M', 'R', 'S'};
constexpr std::uint32_t kFormatVersion = 1;

void put_u32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put_u64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
void put_bytes(std::string& out, std::string_view bytes) {
  put_u32(out, static_cast<std::uint32_t>(bytes.size()));
  out.append(bytes);
}

struct Reader {
  std::string_view in;
  std::size_t pos = 0;
  std::size_t left() const { return in.size() - pos; }
  bool u8(std::uint8_t& v) {
    if (left() < 1) return false;
    v = static_cast<std::uint8_t>(in[pos++]);
    return true;
  }
  bool u32(std::uint32_t& v) {
    if (left() < 4) return false;
    v = 0;
    for (int i = 0; i < 4; ++i)
      v |= static_cast<std::uint32_t>(static_cast<unsigned char>(in[pos + i])) << (8 * i);
    pos += 4;
    return true;
  }
  bool u64(std::uint64_t& v) {
    if (left() < 8) return false;
    v = 0;
    for (int i = 0; i < 8; ++i)
      v |= static_cast<std::uint64_t>(static_cast<unsigned char>(in[pos + i])) << (8 * i);
    pos += 8;
    return true;
  }
  bool bytes(std::string& v) {
    std::uint32_t size = 0;
    if (!u32(size) || size > left()) return false;
    v.assign(in.substr(pos, size));
    pos += size;
    return true;
  }
};

}  // namespace

std::string RecordSetBase::save_to_bytes() const {
  if (!open_) return {};
  // Texts longer than a 32-bit length cannot be framed; such a record set is
  // not saved rather than saved wrongly.
  for (const auto& row : table_.rows)
    for (const auto& cell : row)
      if (cell.bytes.size() > std::numeric_limits<std::uint32_t>::max()) return {};
  std::string out(kMagic, sizeof(kMagic));
  put_u32(out, kFormatVersion);
  put_u32(out, static_cast<std::uint32_t>(table_.names.size()));
  for (std::size_t c = 0; c < table_.names.size(); ++c) {
    put_bytes(out, table_.names[c]);
    put_bytes(out, table_.declared_types[c]);
  }
  put_u32(out, static_cast<std::uint32_t>(table_.rows.size()));
  for (const auto& row : table_.rows) {
    for (const auto& cell : row) {
      out.push_back(static_cast<char>(cell.type));
      switch (cell.type) {
        case ValueType::integer:
          put_u64(out, static_cast<std::uint64_t>(cell.integer));
          break;
        case ValueType::real: {
          std::uint64_t bits = 0;
          std::memcpy(&bits, &cell.real, sizeof(bits));
          put_u64(out, bits);
          break;
        }
        case ValueType::text:
        case ValueType::blob:
          put_bytes(out, cell.bytes);
          break;
        case ValueType::empty:
          break;
      }
    }
  }
  return out;
}

bool RecordSetBase::load_from_bytes(std::string_view bytes) {
  const std::string& bad = "记录集数据格式错误。"_gbk;
  Reader r{bytes};
  if (bytes.size() < 16 || std::memcmp(bytes.data(), kMagic, 4) != 0) return fail(bad);
  r.pos = 4;
  std::uint32_t version = 0, columns = 0, rows = 0;
  if (!r.u32(version) || version != kFormatVersion) return fail(bad);
  // Each column takes at least 8 bytes, each cell at least 1: counts beyond
  // what remains are refused before anything is reserved.
  if (!r.u32(columns) || columns > r.left() / 8) return fail(bad);
  ResultTable table;
  table.has_columns = true;
  table.names.resize(columns);
  table.declared_types.resize(columns);
  for (std::uint32_t c = 0; c < columns; ++c) {
    if (!r.bytes(table.names[c]) || !r.bytes(table.declared_types[c])) return fail(bad);
  }
  if (!r.u32(rows)) return fail(bad);
  if (columns == 0 ? rows != 0 : static_cast<std::uint64_t>(rows) * columns > r.left())
    return fail(bad);
  table.rows.resize(rows);
  for (auto& row : table.rows) {
    row.resize(columns);
    for (auto& cell : row) {
      std::uint8_t tag = 0;
      if (!r.u8(tag)) return fail(bad);
      std::uint64_t bits = 0;
      switch (static_cast<ValueType>(tag)) {
        case ValueType::empty:
          cell = DbValue{};
          break;
        case ValueType::integer:
          if (!r.u64(bits)) return fail(bad);
          cell = DbValue::of_int(static_cast<std::int64_t>(bits));
          break;
        case ValueType::real: {
          if (!r.u64(bits)) return fail(bad);
          double real = 0;
          std::memcpy(&real, &bits, sizeof(real));
          cell = DbValue::of_real(real);
          break;
        }
        case ValueType::text:
        case ValueType::blob:
          cell.type = static_cast<ValueType>(tag);
          if (!r.bytes(cell.bytes)) return fail(bad);
          break;
        default:
          return fail(bad);
      }
    }
  }
  if (r.left() != 0) return fail(bad);
  handle_.reset();
  open_from_table(std::move(table));
  return succeed();
}

// ---------------------------------------------------------------------------
// RecordSet

std::string RecordSet::get_text(std::string_view name) const {
  return field_value(name).as_text();
}
std::int32_t RecordSet::get_int(std::string_view name) const {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(static_cast<std::uint64_t>(field_value(name).as_int64())));
}
std::int64_t RecordSet::get_int64(std::string_view name) const {
  return field_value(name).as_int64();
}
float RecordSet::get_float(std::string_view name) const {
  return static_cast<float>(field_value(name).as_double());
}
double RecordSet::get_double(std::string_view name) const {
  return field_value(name).as_double();
}
bool RecordSet::get_bool(std::string_view name) const {
  return field_value(name).as_bool();
}
std::string RecordSet::get_bytes(std::string_view name) const {
  DbValue v = field_value(name);
  return v.type == ValueType::blob || v.type == ValueType::text ? v.bytes : v.as_text();
}
DateTime RecordSet::get_datetime(std::string_view name) const {
  return to_datetime(field_value(name));
}
std::string RecordSet::get_time_text(std::string_view name) const {
  return time_text(get_datetime(name));
}
std::string RecordSet::get_date_text(std::string_view name) const {
  return date_text(get_datetime(name));
}
std::string RecordSet::get_datetime_text(std::string_view name) const {
  return datetime_text(get_datetime(name));
}

bool RecordSet::set_field_value(std::string_view name, const DbValue& value) {
  if (!open_) return fail(closed_message());
  if (!has_row()) return fail(no_row_message());
  int c = column_index(name);
  if (c < 0) return fail("找不到字段"_gbk);
  table_.rows[static_cast<std::size_t>(position_)][static_cast<std::size_t>(c)] = value;
  return succeed();
}

DbValue RecordSet::cell_value(int column) {
  if (column < 0) {
    error_ = "列号小于0"_gbk;
    return DbValue{};
  }
  if (!has_row()) {
    error_ = "找不到记录"_gbk;
    return DbValue{};
  }
  if (column >= field_count()) {
    error_ = "找不到字段"_gbk;
    return DbValue{};
  }
  DbValue value =
      table_.rows[static_cast<std::size_t>(position_)][static_cast<std::size_t>(column)];
  succeed();
  return value;
}

long RecordSet::read_all(std::vector<std::string>& names,
                         std::vector<std::vector<DbValue>>& values) {
  names.clear();
  values.clear();
  if (!open_) {
    fail(closed_message());
    return 0;
  }
  names = table_.names;
  if (position_ < 0) position_ = 0;
  long count = 0;
  while (position_ < static_cast<long>(table_.rows.size())) {
    values.push_back(table_.rows[static_cast<std::size_t>(position_)]);
    ++position_;
    ++count;
  }
  succeed();
  return count;
}

bool RecordSet::move_by(long count, int start) {
  if (start < 0 || start > 2) {
    error_ = "移动方式值不在0-2之间"_gbk;
    return false;
  }
  if (!open_) return fail(closed_message());
  long rows = static_cast<long>(table_.rows.size());
  long base = start == 0 ? position_ : start == 1 ? 0 : rows - 1;
  if (start == 0 && count != 0 &&
      ((position_ >= rows && count > 0) || (position_ < 0 && count < 0)))
    return fail(no_row_message());
  // Moving beyond either end stops just outside it.
  long target = base + count;
  if (target < 0 || rows == 0) target = rows == 0 ? 0 : -1;
  if (target > rows) target = rows;
  position_ = target;
  return succeed();
}

bool RecordSet::export_excel(std::string_view path, bool with_header) {
  namespace fs = std::filesystem;
  if (!open_) return fail(closed_message());
  fs::path file(text::gbk_to_utf8(path));
  std::error_code ec;
  fs::remove(file, ec);
  lxw_workbook* workbook = workbook_new(file.c_str());
  if (!workbook) return fail("无法创建表格文件"_gbk);
  lxw_worksheet* sheet = workbook_add_worksheet(workbook, nullptr);
  lxw_row_t row = 0;
  if (with_header) {
    for (std::size_t c = 0; c < table_.names.size(); ++c) {
      worksheet_write_string(sheet, 0, static_cast<lxw_col_t>(c),
                             text::gbk_to_utf8(table_.names[c]).c_str(), nullptr);
    }
    row = 1;
  }
  constexpr lxw_row_t kMaxRows = 1048576;
  for (long r = position_ < 0 ? 0 : position_;
       r < static_cast<long>(table_.rows.size()) && row < kMaxRows; ++r, ++row) {
    const auto& cells = table_.rows[static_cast<std::size_t>(r)];
    for (std::size_t c = 0; c < cells.size(); ++c) {
      const DbValue& v = cells[c];
      auto col = static_cast<lxw_col_t>(c);
      switch (v.type) {
        case ValueType::integer:
          worksheet_write_number(sheet, row, col, static_cast<double>(v.integer), nullptr);
          break;
        case ValueType::real:
          if (std::isfinite(v.real)) worksheet_write_number(sheet, row, col, v.real, nullptr);
          break;
        case ValueType::text:
          worksheet_write_string(sheet, row, col, text::gbk_to_utf8(v.bytes).c_str(), nullptr);
          break;
        default:
          break;
      }
    }
  }
  lxw_error closed = workbook_close(workbook);
  if (closed != LXW_NO_ERROR || !fs::exists(file, ec)) return fail(lxw_strerror(closed));
  return succeed();
}

// ---------------------------------------------------------------------------
// PagedRecordSet

bool PagedRecordSet::open_for_paging(const DbConnection& connection, std::string_view sql,
                                     long page_size) {
  rs_attach(connection);
  if (!rs_open(sql, 3, 2, 0)) return false;
  return set_page_size(page_size);
}

long PagedRecordSet::page_to_json(json::JsonDocument& rows, long page) {
  if (field_count() == 0) return 0;
  if (page > 0) set_absolute_page(page);
  std::vector<ColumnKind> kinds = column_kinds(table_, has_row() ? position_ : -1);
  for (long i = 1; i <= page_size_; ++i) {
    if (i > 1 && !move_next()) break;
    // Past the last row: the cursor knows, no "id is 0" guess is needed.
    if (!has_row()) break;
    if (!rows.AppendNewObject("")) break;
    json::JsonValue object = yyjson_mut_arr_get_last(rows.ValueAt(""));
    row_to_json(rows, object, table_.names, kinds,
                table_.rows[static_cast<std::size_t>(position_)]);
  }
  return page_size_;
}

}  // namespace lumora::db
