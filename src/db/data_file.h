#pragma once
// data.db, the viewer data store's file, made at first start.
#include <filesystem>
#include <string>

namespace lumora::db {

// The statements of the fresh file's one table.
inline constexpr const char* kUserTableSql =
    "CREATE TABLE user (id INTEGER PRIMARY KEY AUTOINCREMENT, uid INTEGER, group_ VARCHAR, "
    "key_ VARCHAR, data VARCHAR)";

// When no file exists at path, creates the empty data store there: table
// `user` (id, uid, group_, key_, data) and `sqlite_sequence` with the counter
// of `user` at 3, so the first stored record gets id 4. The file is built
// under a temporary name in the same folder and linked into place, so a
// half-written file is never seen under the name and an existing file is
// never replaced (a file that appears meanwhile wins). Returns true when it
// created the file; false when one was there (untouched) or creation failed
// (error says why).
bool ensure_data_db(const std::filesystem::path& path, std::string* error = nullptr);

}  // namespace lumora::db
