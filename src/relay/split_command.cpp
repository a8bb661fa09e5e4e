#include "relay/split_command.h"

#include <algorithm>

#include "text/number.h"
#include "text/split.h"

namespace lumora::relay {

using panel::Control;
using panel::SplitMode;

SplitSettings read_split_settings(const panel::PanelModel& panel) {
  SplitSettings settings;
  settings.mode = panel.split_mode();
  if (settings.mode == SplitMode::first_bytes) {
    settings.first_bytes = text::read_leading_int(panel.text(Control::编辑框_截取字符));
  } else if (settings.mode == SplitMode::separator) {
    settings.separator = panel.text(Control::编辑框_分割字符);
  }
  return settings;
}

SplitCommand split_command(std::string_view comment, const SplitSettings& settings) {
  SplitCommand result;
  if (settings.mode == SplitMode::first_bytes) {
    std::string packed;
    packed.reserve(comment.size());
    // Only the ASCII blank goes: GBK trail bytes are never 0x20, so this cannot
    // break a two-byte character.
    std::copy_if(comment.begin(), comment.end(), std::back_inserter(packed),
                 [](char c) { return c != ' '; });
    if (settings.first_bytes <= 0) {
      result.parameter1 = std::move(packed);
    } else if (static_cast<std::size_t>(settings.first_bytes) >= packed.size()) {
      result.instruct = std::move(packed);
    } else {
      std::size_t n = static_cast<std::size_t>(settings.first_bytes);
      result.instruct.assign(packed, 0, n);
      result.parameter1.assign(packed, n);
    }
  } else if (settings.mode == SplitMode::separator) {
    std::vector<std::string> pieces = text::split_by_separator(comment, settings.separator, 3);
    if (pieces.size() > 0) result.instruct = std::move(pieces[0]);
    if (pieces.size() > 1) result.parameter1 = std::move(pieces[1]);
    if (pieces.size() > 2) result.parameter2 = std::move(pieces[2]);
  }
  return result;
}

}  // namespace lumora::relay
