#pragma once
// The settings store: the user's settings in "Config.ini" of the site's data
// folder (网站/数据), in the usual INI layout, as GBK bytes with CR LF lines:
//
//   [Wirlex设置]
//   分割字符=-
//
// Keys, values and section names are GBK texts. Section and key names match
// without regard to ASCII case, and blanks around names and values are
// ignored, as the platform's INI routines do. A value with blanks at its ends
// is written in double quotes so that it reads back whole (a separator of one
// blank stays one blank); one pair of surrounding quotes is taken off when
// reading.
//
// Writes replace the file through a temporary file and a rename, so a reader
// sees the old file or the new one, never half of one; other lines keep their
// text. Safe from any thread: writes are serialized process-wide.
#include <mutex>
#include <string>
#include <string_view>

namespace lumora::web {

inline constexpr std::string_view kSettingsFileName = "Config.ini";

// "Wirlex设置" as GBK: the section used when none is named.
const std::string& default_settings_section();

class SettingsStore {
 public:
  // folder: UTF-8 path of the folder that holds (or will hold) Config.ini.
  explicit SettingsStore(std::string folder);

  const std::string& folder() const { return folder_; }
  const std::string& file_path() const { return file_path_; }

  // The value under key in section (empty: the default section), or fallback
  // when the file, the section or the key is missing.
  std::string read_setting(std::string_view key, std::string_view fallback,
                           std::string_view section = {}) const;

  // Stores value under key in section, creating the folder, the file, the
  // section or the key as needed. False (with error_text()) when the file
  // cannot be written, or when a text would break the layout: an empty key,
  // a key with "=", a section with "]", or a line break or NUL byte anywhere.
  bool write_setting(std::string_view key, std::string_view value, std::string_view section = {});

  std::string error_text() const;

 private:
  std::string folder_;
  std::string file_path_;
  mutable std::mutex error_mutex_;
  std::string error_text_;
};

}  // namespace lumora::web
