#pragma once
// The control panel's state. The core reads the switches and settings "from the
// window" here and writes its log lines, captions and messages here; a window
// (or the headless printer) follows the changes through observers. Every
// operation is safe from any thread; observers are called on the thread that
// made the change, outside the model's lock.
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumora::panel {

// The controls the core touches, by the window description's names.
enum class Control {
  标签_客户端_状态,
  按钮_客户端_连接,
  编辑框_w1,
  编辑框_w2,
  编辑框_w3,
  单选框_UTF8,
  单选框_GBK,
  标签_WSS,
  标签_HTTP,
  选择框_wss,
  选择框_文件系统,
  选择框_http,
  编辑框2,
  单选框_弹幕截取,
  编辑框_截取字符,
  单选框_弹幕分割,
  编辑框_分割字符,
};
inline constexpr std::size_t kControlCount = static_cast<std::size_t>(Control::编辑框_分割字符) + 1;

// The window description's name of a control, in UTF-8.
std::string_view control_name(Control control) noexcept;

struct Colour {
  std::uint8_t red = 0;
  std::uint8_t green = 0;
  std::uint8_t blue = 0;
  friend bool operator==(const Colour&, const Colour&) = default;
};
inline constexpr Colour kStatusGreen{0, 128, 0};
inline constexpr Colour kStatusRed{255, 0, 0};

enum class SplitMode { none, first_bytes, separator };

// What observers are told. Texts are GBK.
struct PanelChange {
  enum class Kind { state, log_line, message_box, quit } kind = Kind::state;
  Control control = Control::编辑框2;  // for state changes
  std::string text;                    // caption/text, the log line, the message
  std::string caption;                 // message box caption
  int exit_code = 0;                   // for quit
};

class PanelModel {
 public:
  using Observer = std::function<void(const PanelChange&)>;
  using ObserverId = std::uint64_t;

  // The start values of a fresh window: 选择框_wss checked, 选择框_http and
  // 选择框_文件系统 unchecked, 单选框_UTF8 selected, 单选框_弹幕分割 selected,
  // "1" and "-" in the split boxes, the captions "连接直播间①", "WSS", "HTTP".
  PanelModel();

  // Check boxes and radio buttons. Selecting a radio button clears the other
  // one of its group.
  bool checked(Control control) const;
  void set_checked(Control control, bool on);

  // Texts of edit boxes, labels and buttons (GBK).
  std::string text(Control control) const;
  void set_text(Control control, std::string_view text);

  // A label's caption together with its colour (status labels).
  void set_caption(Control control, std::string_view caption, Colour colour);
  std::optional<Colour> colour(Control control) const;

  // The split settings as the builders read them at each comment.
  SplitMode split_mode() const;

  // Appends one line to the log box 编辑框2 (the line without its CR LF).
  // The model keeps only the newest lines; views keep what they show.
  void append_log(std::string_view line);
  std::vector<std::string> recent_log() const;

  // A message box; a headless run prints it. Does not wait for an answer.
  void show_message(std::string_view text, std::string_view caption);

  // Asks the program to end (the window closes, the headless loop returns).
  void request_quit(int exit_code);
  bool quit_requested() const;
  int exit_code() const;
  // Waits until request_quit was called; returns its exit code.
  int wait_for_quit();

  ObserverId add_observer(Observer observer);
  void remove_observer(ObserverId id);

  static constexpr std::size_t kRecentLogLines = 500;

 private:
  struct ControlState {
    bool checked = false;
    std::string text;
    std::optional<Colour> colour;
  };
  void notify(const PanelChange& change);
  void notify_state(Control control);

  mutable std::mutex mutex_;
  std::condition_variable quit_cv_;
  ControlState controls_[kControlCount];
  std::deque<std::string> log_;
  bool quit_ = false;
  int exit_code_ = 0;

  mutable std::mutex observers_mutex_;
  std::vector<std::pair<ObserverId, std::shared_ptr<const Observer>>> observers_;
  ObserverId next_observer_id_ = 1;
};

}  // namespace lumora::panel
