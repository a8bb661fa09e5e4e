#include "app/headless.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>

#include "db/data_file.h"
#include "json/json_document.h"
#include "live/room_connection.h"
#include "panel/console_printer.h"
#include "panel/panel_model.h"
#include "relay/event_relay.h"
#include "relay/event_ws_server.h"
#include "relay/simulation.h"
#include "text/gbk.h"
#include "text/literal.h"
#include "web/settings_store.h"

namespace lumora::app {

using namespace lumora::text::literals;
using panel::Control;
using panel::PanelModel;

namespace {

// The room number the three room boxes show until the user types another.
constexpr std::string_view kDefaultRoomNumber = "21452505";

bool read_int(const std::string& text, int low, int high, int& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  long parsed = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0' || parsed < low || parsed > high) return false;
  value = static_cast<int>(parsed);
  return true;
}

std::string program_path(const std::string& home, std::string_view name) {
  std::string path = home;
  if (!path.empty() && path.back() != '/') path += '/';
  path += name;
  return path;
}

// Waits for SIGINT/SIGTERM on its own thread and turns it into a quit request,
// so the stop runs on ordinary threads, not inside a signal handler. The
// signals must already be blocked in every thread.
void quit_on_signals(PanelModel& panel) {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  std::thread([set, &panel]() mutable {
    int signal_number = 0;
    if (sigwait(&set, &signal_number) == 0) panel.request_quit(0);
  }).detach();
}

// Step 15 of the start-up: the settings back into the panel.
void restore_settings(PanelModel& panel, const web::SettingsStore& settings) {
  panel.set_text(Control::编辑框_分割字符, settings.read_setting("分割字符"_gbk, "-"));
  panel.set_text(Control::编辑框_截取字符, settings.read_setting("截取字符"_gbk, "1"));
  panel.set_text(Control::编辑框_w1, settings.read_setting("直播间1"_gbk, kDefaultRoomNumber));
  panel.set_text(Control::编辑框_w2, settings.read_setting("直播间2"_gbk, kDefaultRoomNumber));
  panel.set_text(Control::编辑框_w3, settings.read_setting("直播间3"_gbk, kDefaultRoomNumber));
  if (settings.read_setting("分割类型"_gbk, "") == "1") {
    panel.set_checked(Control::单选框_弹幕截取, true);
    panel.set_checked(Control::单选框_弹幕分割, false);
  } else {
    panel.set_checked(Control::单选框_弹幕分割, true);
    panel.set_checked(Control::单选框_弹幕截取, false);
  }
}

// The command line's switches, set as the user would set the controls, with
// the settings written as the window's change handlers write them.
void apply_command_line(const CommandLine& line, PanelModel& panel, web::SettingsStore& settings) {
  if (line.no_ws) panel.set_checked(Control::选择框_wss, false);
  if (line.http) panel.set_checked(Control::选择框_http, true);
  if (line.file) panel.set_checked(Control::选择框_文件系统, true);
  if (line.gbk) panel.set_checked(Control::单选框_GBK, true);
  // As clicking a split radio and typing into its box would: both are stored.
  auto choose_split = [&](Control radio, const char* mode, Control box, const std::string& key,
                          const std::string& value) {
    panel.set_checked(radio, true);
    settings.write_setting("分割类型"_gbk, mode);
    panel.set_text(box, value);
    settings.write_setting(key, value);
  };
  if (line.split_bytes) {
    choose_split(Control::单选框_弹幕截取, "1", Control::编辑框_截取字符, "截取字符"_gbk,
                 std::to_string(*line.split_bytes));
  }
  if (line.split_separator) {
    choose_split(Control::单选框_弹幕分割, "2", Control::编辑框_分割字符, "分割字符"_gbk,
                 text::utf8_to_gbk(*line.split_separator));
  }
  if (line.room) {
    const std::string room = text::utf8_to_gbk(*line.room);
    panel.set_text(Control::编辑框_w1, room);
    settings.write_setting("直播间1"_gbk, room);
  }
}

}  // namespace

const char* usage_text() {
  return "usage: lumora --headless [options]\n"
         "  --home DIR              program directory (default: the executable's folder)\n"
         "  --ws-port N             event WebSocket server port (default 8080)\n"
         "  --http-port N           HTTP server port (default 80)\n"
         "  --bind ADDR             address the servers listen on (default 0.0.0.0)\n"
         "  --no-ws                 uncheck WebSocket push\n"
         "  --http                  check HTTP polling\n"
         "  --file                  check file interaction (data.json)\n"
         "  --gbk                   GBK output instead of UTF-8\n"
         "  --split-bytes N         danmaku command: the first N bytes (stored in Config.ini)\n"
         "  --split-separator TEXT  danmaku command: split at TEXT (stored in Config.ini)\n"
         "  --simulate POSITION     automatic comments from the test lists, slider 0..2000\n"
         "  --connect               connect room slot 1 after start-up\n"
         "  --room N                room number typed into slot 1 (stored in Config.ini)\n"
         "  --live-api URL          live platform API base (default "
         "https://api.live.bilibili.com)\n"
         "  --danmaku-url URL       danmaku WebSocket, ws:// or wss:// (default the platform's)\n"
         "  --live-origin URL       Origin of the danmaku handshake\n"
         "  --help                  this text\n";
}

bool parse_command_line(const std::vector<std::string>& args, CommandLine& line,
                        std::string& error) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= args.size()) {
        error = arg + " needs a value";
        return false;
      }
      out = args[++i];
      return true;
    };
    auto number = [&](int low, int high, int& out) {
      std::string text;
      if (!value(text)) return false;
      if (!read_int(text, low, high, out)) {
        error = arg + ": not a number from " + std::to_string(low) + " to " + std::to_string(high) +
                ": " + text;
        return false;
      }
      return true;
    };
    if (arg == "--help" || arg == "-h") {
      line.help = true;
    } else if (arg == "--headless") {
      line.headless = true;
    } else if (arg == "--home") {
      if (!value(line.home)) return false;
    } else if (arg == "--ws-port") {
      if (!number(0, 65535, line.ws_port)) return false;
    } else if (arg == "--http-port") {
      if (!number(1, 65535, line.http_port)) return false;
    } else if (arg == "--bind") {
      if (!value(line.bind_address)) return false;
    } else if (arg == "--no-ws") {
      line.no_ws = true;
    } else if (arg == "--http") {
      line.http = true;
    } else if (arg == "--file") {
      line.file = true;
    } else if (arg == "--gbk") {
      line.gbk = true;
    } else if (arg == "--split-bytes") {
      int n = 0;
      if (!number(-2147483647, 2147483647, n)) return false;
      line.split_bytes = n;
      line.split_separator.reset();  // the last choice wins, as with the radios
    } else if (arg == "--split-separator") {
      std::string text;
      if (!value(text)) return false;
      line.split_separator = text;
      line.split_bytes.reset();
    } else if (arg == "--simulate") {
      int position = 0;
      if (!number(0, relay::Simulation::kSliderMaximum, position)) return false;
      line.simulate = position;
    } else if (arg == "--connect") {
      line.connect = true;
    } else if (arg == "--room") {
      std::string text;
      if (!value(text)) return false;
      line.room = text;
    } else if (arg == "--live-api") {
      if (!value(line.live_api)) return false;
    } else if (arg == "--danmaku-url") {
      if (!value(line.danmaku_url)) return false;
    } else if (arg == "--live-origin") {
      if (!value(line.live_origin)) return false;
    } else {
      error = "unknown option " + arg;
      return false;
    }
  }
  return true;
}

std::string executable_folder() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || !exe.has_parent_path()) return ".";
  return exe.parent_path().string();
}

int run_program(int argc, char** argv) {
  CommandLine line;
  std::string error;
  if (!parse_command_line(std::vector<std::string>(argv + 1, argv + argc), line, error)) {
    std::fprintf(stderr, "lumora: %s\n%s", error.c_str(), usage_text());
    return 2;
  }
  if (line.help) {
    std::fputs(usage_text(), stdout);
    return 0;
  }
  if (!line.headless) {
    // The window front-end lives in app/ beside this file once it exists.
    std::fprintf(stderr, "lumora: only --headless is available in this build\n%s", usage_text());
    return 2;
  }

  // Block the stop signals in every thread (threads made from here on
  // inherit the mask); one thread waits for them.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  const std::string home = line.home.empty() ? executable_folder() : line.home;
  PanelModel panel;
  panel::attach_console_printer(panel);
  quit_on_signals(panel);

  // ---- process start ----
  if (!json::json_engine_ready()) panel.show_message("yyjson.dll载入失败!"_gbk, "错误"_gbk);
  // The web framework's module initialisation (route tables, envelope key
  // names, server name) belongs here once the framework exists.

  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(program_path(home, "网站/数据")), ec);
  web::SettingsStore settings(program_path(home, "网站/数据"));

  // ---- window-created sequence ----
  relay::EventRelay relay(panel, program_path(home, "data.json"));
  relay.set_head_prefix(relay::head_prefix_for_port(line.http_port));
  relay::Simulation simulation(relay);
  simulation.load_test_lists(home);

  // data.db when missing: the viewer data store starts with table user.
  std::string db_error;
  if (!db::ensure_data_db(std::filesystem::path(program_path(home, "data.db")), &db_error) &&
      !db_error.empty()) {
    std::fprintf(stderr, "lumora: data.db: %s\n", db_error.c_str());
  }
  // Room slot 1's client (slots 2 and 3 connect nothing).
  live::RoomConnectionOptions live_options;
  if (!line.live_api.empty()) live_options.endpoints.api_base_url = line.live_api;
  if (!line.danmaku_url.empty()) live_options.endpoints.danmaku_url = line.danmaku_url;
  if (!line.live_origin.empty()) live_options.endpoints.web_origin = line.live_origin;
  live::RelayEventSink live_sink(relay);
  live::RoomConnection room_connection(panel, live_sink, live_options);

  relay::EventWsServerOptions ws_options;
  ws_options.bind_address = line.bind_address;
  ws_options.port = static_cast<std::uint16_t>(line.ws_port);
  relay::EventWsServer ws_server(ws_options);
  relay.set_push(&ws_server);

  // The connection pool on data.db, the web server on line.http_port with its
  // nine routes and 标签_HTTP belong here once the framework exists.

  if (ws_server.start()) {
    panel.set_caption(Control::标签_WSS, "WS正常启动 "_gbk + std::to_string(ws_server.port()),
                      panel::kStatusGreen);
  } else {
    panel.set_caption(Control::标签_WSS, "启动失败"_gbk, panel::kStatusRed);
    std::fprintf(stderr, "lumora: event WebSocket server: %s\n", ws_server.error_text().c_str());
  }

  restore_settings(panel, settings);
  apply_command_line(line, panel, settings);

  // The avatar folder (the avatar service reads it from here).
  std::filesystem::create_directories(std::filesystem::path(program_path(home, "头像")), ec);

  relay::SimulationTimer timer(simulation);
  if (line.simulate) timer.set_period(simulation.on_slider_moved(*line.simulate));
  // The connect button of slot 1, as the user would press it.
  if (line.connect) room_connection.connect_room(panel.text(Control::编辑框_w1));

  const int code = panel.wait_for_quit();

  // ---- stop: what closing the window does, then the servers ----
  timer.stop();
  room_connection.stop();
  simulation.save_test_lists(home);
  relay.set_push(nullptr);
  ws_server.stop();
  return code;
}

}  // namespace lumora::app
