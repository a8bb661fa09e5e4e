#include "web/settings_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <vector>

#include "text/gbk.h"
#include "text/literal.h"

namespace lumora::web {

using namespace lumora::text::literals;

namespace {

// One lock for every store: two stores on the same folder must not lose each
// other's read-modify-write.
std::mutex& write_mutex() {
  static std::mutex mutex;
  return mutex;
}

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
  return s;
}

char ascii_lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Case-insensitive for ASCII letters only; the trail byte of a two-byte GBK
// character (which may lie in the ASCII letter range) is compared exactly.
bool names_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char ca = static_cast<unsigned char>(a[i]);
    if (text::is_gbk_lead_byte(ca) && i + 1 < a.size()) {
      if (a[i] != b[i] || a[i + 1] != b[i + 1]) return false;
      ++i;
      continue;
    }
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

bool has_line_break(std::string_view s) {
  return s.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

std::optional<std::string> read_file(const std::string& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Lines without their CR LF / LF endings.
std::vector<std::string_view> split_lines(std::string_view bytes) {
  std::vector<std::string_view> lines;
  while (!bytes.empty()) {
    std::size_t nl = bytes.find('\n');
    std::string_view line = bytes.substr(0, nl);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    bytes.remove_prefix(nl + 1);
  }
  return lines;
}

// The section name when the line is a section header.
std::optional<std::string_view> section_of(std::string_view line) {
  std::string_view t = trim(line);
  if (t.empty() || t.front() != '[') return std::nullopt;
  std::size_t close = t.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return trim(t.substr(1, close - 1));
}

struct KeyLine {
  std::string_view key;
  std::string_view value;
};

std::optional<KeyLine> key_line_of(std::string_view line) {
  std::string_view t = trim(line);
  if (t.empty() || t.front() == ';' || t.front() == '[') return std::nullopt;
  std::size_t eq = t.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  return KeyLine{trim(t.substr(0, eq)), trim(t.substr(eq + 1))};
}

std::string_view unquote(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    return value.substr(1, value.size() - 2);
  }
  return value;
}

std::string quote_if_needed(std::string_view value) {
  bool needs = !value.empty() && (is_blank(value.front()) || is_blank(value.back()));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    needs = true;  // would otherwise lose its own quotes when read
  }
  if (!needs) return std::string(value);
  std::string quoted;
  quoted.reserve(value.size() + 2);
  quoted += '"';
  quoted += value;
  quoted += '"';
  return quoted;
}

// Writes bytes to path through a temporary file in the same folder.
bool replace_file(const std::string& path, const std::string& bytes, std::string& error) {
  static std::atomic<unsigned> counter{0};
  const std::string temp =
      path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter.fetch_add(1));
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot create " + temp + ": " + std::strerror(errno);
    return false;
  }
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = "cannot write " + temp + ": " + std::strerror(errno);
      ::close(fd);
      ::unlink(temp.c_str());
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    error = "cannot flush " + temp + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    error = "cannot replace " + path + ": " + std::strerror(errno);
    ::unlink(temp.c_str());
    return false;
  }
  return true;
}

}  // namespace

const std::string& default_settings_section() {
  return "Wirlex设置"_gbk;
}

SettingsStore::SettingsStore(std::string folder) : folder_(std::move(folder)) {
  file_path_ = folder_.empty() ? std::string(kSettingsFileName)
                               : folder_ + "/" + std::string(kSettingsFileName);
}

std::string SettingsStore::read_setting(std::string_view key, std::string_view fallback,
                                        std::string_view section) const {
  if (section.empty()) section = default_settings_section();
  std::optional<std::string> bytes = read_file(file_path_);
  if (!bytes) return std::string(fallback);
  bool in_section = false;
  for (std::string_view line : split_lines(*bytes)) {
    if (auto name = section_of(line)) {
      in_section = names_equal(*name, trim(section));
      continue;
    }
    if (!in_section) continue;
    auto entry = key_line_of(line);
    if (entry && names_equal(entry->key, trim(key))) return std::string(unquote(entry->value));
  }
  return std::string(fallback);
}

bool SettingsStore::write_setting(std::string_view key, std::string_view value,
                                  std::string_view section) {
  if (section.empty()) section = default_settings_section();
  auto fail = [this](std::string text) {
    std::lock_guard lock(error_mutex_);
    error_text_ = std::move(text);
    return false;
  };
  if (trim(key).empty() || key.find('=') != std::string_view::npos || has_line_break(key)) {
    return fail("write_setting: unusable key");
  }
  if (trim(section).empty() || section.find(']') != std::string_view::npos ||
      has_line_break(section)) {
    return fail("write_setting: unusable section");
  }
  if (has_line_break(value)) return fail("write_setting: a value cannot hold a line break");

  std::lock_guard lock(write_mutex());
  std::error_code ec;
  if (!folder_.empty()) std::filesystem::create_directories(std::filesystem::path(folder_), ec);

  const std::string existing = read_file(file_path_).value_or(std::string());
  std::vector<std::string_view> lines = split_lines(existing);
  const std::string new_line = std::string(trim(key)) + "=" + quote_if_needed(value);

  std::optional<std::size_t> section_at;
  std::optional<std::size_t> key_at;
  std::size_t last_content = 0;  // last non-blank line of the section
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (auto name = section_of(lines[i])) {
      if (section_at) break;  // the section ended
      if (names_equal(*name, trim(section))) {
        section_at = i;
        last_content = i;
      }
      continue;
    }
    if (!section_at) continue;
    if (!trim(lines[i]).empty()) last_content = i;
    auto entry = key_line_of(lines[i]);
    if (entry && names_equal(entry->key, trim(key))) {
      key_at = i;
      break;
    }
  }

  std::string header;
  if (!section_at) header = "[" + std::string(trim(section)) + "]";
  std::string out;
  out.reserve(existing.size() + new_line.size() + header.size() + 8);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (key_at && i == *key_at) {
      out += new_line;
    } else {
      out += lines[i];
    }
    out += "\r\n";
    if (section_at && !key_at && i == last_content) {
      out += new_line;
      out += "\r\n";
    }
  }
  if (!section_at) {
    out += header;
    out += "\r\n";
    out += new_line;
    out += "\r\n";
  }
  std::string error;
  if (!replace_file(file_path_, out, error)) return fail(std::move(error));
  return true;
}

std::string SettingsStore::error_text() const {
  std::lock_guard lock(error_mutex_);
  return error_text_;
}

}  // namespace lumora::web
