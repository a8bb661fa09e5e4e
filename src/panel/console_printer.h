#pragma once
// The headless face of the control panel: what a window would show, printed.
#include <cstdint>
#include <cstdio>

#include "panel/panel_model.h"

namespace lumora::panel {

// Prints the panel's log lines, status labels (标签_WSS, 标签_HTTP,
// 标签_客户端_状态 as "name: caption") and message boxes ("[caption] text")
// to out as UTF-8, one line each, flushed per line. Returns the observer id.
PanelModel::ObserverId attach_console_printer(PanelModel& panel, std::FILE* out = stdout);

}  // namespace lumora::panel
