#include "panel/console_printer.h"

#include <memory>
#include <mutex>
#include <string>

#include "text/gbk.h"

namespace lumora::panel {

PanelModel::ObserverId attach_console_printer(PanelModel& panel, std::FILE* out) {
  // Lines from several threads must not interleave.
  auto print_mutex = std::make_shared<std::mutex>();
  return panel.add_observer([print_mutex, &panel, out](const PanelChange& change) {
    std::string line;
    switch (change.kind) {
      case PanelChange::Kind::log_line:
        line = text::gbk_to_utf8(change.text);
        break;
      case PanelChange::Kind::message_box:
        line = "[" + text::gbk_to_utf8(change.caption) + "] " + text::gbk_to_utf8(change.text);
        break;
      case PanelChange::Kind::state:
        // Status labels only; the switches and boxes are set by the command line.
        if (change.control != Control::标签_WSS && change.control != Control::标签_HTTP &&
            change.control != Control::标签_客户端_状态) {
          return;
        }
        line = std::string(control_name(change.control)) + ": " +
               text::gbk_to_utf8(panel.text(change.control));
        break;
      case PanelChange::Kind::quit:
        return;
    }
    line.push_back('\n');
    std::lock_guard lock(*print_mutex);
    std::fwrite(line.data(), 1, line.size(), out);
    std::fflush(out);
  });
}

}  // namespace lumora::panel
