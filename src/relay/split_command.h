#pragma once
// The command split of a danmaku comment: the user chooses on the "弹幕截取"
// tab whether the first N bytes are the command (the rest its parameter), or a
// separator cuts the comment into a command and up to two parameters.
#include <cstdint>
#include <string>
#include <string_view>

#include "panel/panel_model.h"

namespace lumora::relay {

struct SplitSettings {
  panel::SplitMode mode = panel::SplitMode::none;
  std::int32_t first_bytes = 0;  // N of the first-bytes mode
  std::string separator;         // of the separator mode; may be empty
};

struct SplitCommand {
  std::string instruct;
  std::string parameter1;
  std::string parameter2;
};

// The settings as the window holds them at this moment: the split radio pair,
// the leading integer of 编辑框_截取字符, the text of 编辑框_分割字符.
SplitSettings read_split_settings(const panel::PanelModel& panel);

// First-bytes mode: blanks (0x20) are removed, then the first N bytes are the
// command and the rest parameter1 (N counts bytes, so it may cut a two-byte
// character). Separator mode: pieces 1 to 3 of the comment split at the
// separator; later pieces are dropped. No mode: all empty.
SplitCommand split_command(std::string_view comment, const SplitSettings& settings);

}  // namespace lumora::relay
