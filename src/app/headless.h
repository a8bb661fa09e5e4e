#pragma once
// The program's command line and its headless run: the start-up steps, the
// panel model filled from the settings and the command line, the event
// WebSocket server, the test tab's automatic comments, and a printer that
// shows log lines and status changes on standard output.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lumora::panel {
class PanelModel;
}

namespace lumora::app {

// What the command line asks for. Texts are as given (UTF-8).
struct CommandLine {
  bool help = false;
  bool headless = false;
  std::string home;  // empty: the executable's folder
  int ws_port = 8080;
  int http_port = 80;
  std::string bind_address = "0.0.0.0";
  bool no_ws = false;
  bool http = false;
  bool file = false;
  bool gbk = false;
  std::optional<int> split_bytes;
  std::optional<std::string> split_separator;
  std::optional<int> simulate;      // slider position 0..2000
  bool connect = false;             // press slot 1's connect button after start-up
  std::optional<std::string> room;  // typed into 编辑框_w1 (and so stored as 直播间1)
  std::string live_api;             // the live platform's endpoints; empty: the real ones
  std::string danmaku_url;
  std::string live_origin;
};

// Parses argv; false (with error) for an unknown option or a bad value.
bool parse_command_line(const std::vector<std::string>& args, CommandLine& line,
                        std::string& error);
const char* usage_text();

// The folder of the running executable (/proc/self/exe), or "." when unknown.
std::string executable_folder();

// Parses the command line, runs the start-up and waits for SIGINT/SIGTERM or a
// quit request; returns the process exit code.
int run_program(int argc, char** argv);

}  // namespace lumora::app
