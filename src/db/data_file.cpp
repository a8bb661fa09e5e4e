#include "db/data_file.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <system_error>

namespace lumora::db {

namespace {

void set_error(std::string* error, std::string text) {
  if (error) *error = std::move(text);
}

std::filesystem::path temporary_name(const std::filesystem::path& path) {
  std::random_device device;
  std::mt19937_64 random(device());
  char suffix[32];
  std::snprintf(suffix, sizeof(suffix), ".%016llx.tmp", static_cast<unsigned long long>(random()));
  std::filesystem::path name = path;
  name += suffix;
  return name;
}

bool build_file(const std::filesystem::path& file, std::string* error) {
  sqlite3* db = nullptr;
  int rc =
      sqlite3_open_v2(file.c_str(), &db,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_EXCLUSIVE, nullptr);
  if (rc != SQLITE_OK) {
    set_error(error, db ? sqlite3_errmsg(db) : "cannot create database");
    sqlite3_close_v2(db);
    return false;
  }
  std::string sql = std::string(
                        "PRAGMA page_size=4096;"
                        "PRAGMA journal_mode=DELETE;"
                        "BEGIN;") +
                    kUserTableSql +
                    ";"
                    "INSERT INTO sqlite_sequence(name,seq) VALUES('user',3);"
                    "COMMIT;";
  char* message = nullptr;
  rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message);
  if (rc != SQLITE_OK) {
    set_error(error, message ? message : "cannot write database");
    sqlite3_free(message);
    sqlite3_close_v2(db);
    return false;
  }
  // The commit synced the file; closing leaves no journal behind.
  return sqlite3_close(db) == SQLITE_OK;
}

void sync_folder(const std::filesystem::path& folder) {
  int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

bool ensure_data_db(const std::filesystem::path& path, std::string* error) {
  std::error_code ec;
  if (std::filesystem::exists(std::filesystem::symlink_status(path, ec))) return false;
  std::filesystem::path temporary = temporary_name(path);
  if (!build_file(temporary, error)) {
    std::filesystem::remove(temporary, ec);
    return false;
  }
  // link() fails when the name exists: it never replaces another file.
  bool linked = ::link(temporary.c_str(), path.c_str()) == 0;
  int link_errno = errno;
  std::filesystem::remove(temporary, ec);
  if (!linked) {
    if (link_errno != EEXIST) set_error(error, std::strerror(link_errno));
    return false;
  }
  sync_folder(path.parent_path());
  return true;
}

}  // namespace lumora::db
