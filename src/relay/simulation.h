#pragma once
// The test tab "测试模拟": viewers, comments and gift values typed or picked
// from three lists, the four send buttons, the "×" removals, the slider that
// sets the rate of automatic comments, and the lists' files. Free of any UI
// toolkit: a window binds its widgets to this model, the headless program
// drives it directly. Every operation is safe from any thread; handlers and
// timer ticks run one at a time, as they would on one window thread.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "relay/event_relay.h"

namespace lumora::relay {

// The tab's three combo boxes.
enum class TestBox { uid, content, gif };  // 组合框_uid, 组合框_content, 组合框_gif

// A combo box with free text: its items, its current text and the index of the
// selected item (-1: none).
struct ComboBoxState {
  std::vector<std::string> items;
  std::string text;
  int selected = -1;
};

struct Viewer {
  std::string uid_text;
  std::string name;
};

// The message a viewer text without a usable "-" gets.
const std::string& viewer_format_message();

// "uid-name": the text split at "-" keeping at most two pieces; exactly two are
// needed (piece 1 the uid text, piece 2 the name). False otherwise.
bool split_viewer(std::string_view text, Viewer& viewer);

// The timer period for a slider position: 0 stops the timer; otherwise
// maximum − position + 300 ms. Positions outside 0..maximum count as the
// nearer end.
int slider_period_ms(int position, int maximum = 2000);

class Simulation {
 public:
  // Draws an index from 0 to count − 1 (count > 0).
  using IndexPicker = std::function<std::size_t(std::size_t count)>;
  // Told which box changed (items, text or selection), after the change.
  using BoxObserver = std::function<void(TestBox)>;

  static constexpr int kSliderMaximum = 2000;
  static constexpr int kSliderStart = 1;

  // picker: the tick's random source; by default uniform from a Mersenne
  // twister seeded from std::random_device.
  Simulation(EventRelay& relay, IndexPicker picker = {});
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  // ---- what the window shows and the user changes ----
  ComboBoxState box(TestBox which) const;
  // The user typed into the box: its text changes and no item stays selected.
  void set_box_text(TestBox which, std::string_view text);
  // Selects an item and shows its text; an index out of range selects none
  // and empties the text.
  void select_item(TestBox which, int index);
  void append_item(TestBox which, std::string_view item);
  std::string gift_id_text() const;  // 编辑框3
  void set_gift_id_text(std::string_view text);
  void set_observer(BoxObserver observer);

  // ---- handlers ----
  // The viewer from 组合框_uid; shows viewer_format_message() through the
  // panel and returns false when the text is not "uid-name".
  bool parse_viewer(Viewer& viewer);
  // Puts the box's text first in its list unless an item equals it.
  void remember_item(TestBox which);
  void send_danmaku();  // 按钮3 "发弹幕"
  void send_follow();   // 按钮7 "关注主播"
  void send_enter();    // 按钮8 "进直播间"
  void send_gift();     // 按钮4 "送礼物"
  // 按钮5 / 按钮6 / 按钮1 "×": removes the selected item, if any.
  void remove_selected(TestBox which);
  // 滑块条1 moved: returns the timer period to apply (0: stop the timer).
  int on_slider_moved(int position, int maximum = kSliderMaximum);
  // 时钟1: picks a random viewer and comment, then sends the comment.
  void tick();

  // ---- the list files content.txt, uid.txt, gif.txt of the program directory
  // (GBK, one item a line, CR LF) ----
  // Appends the files' lines to the lists; a missing file reads as empty.
  void load_test_lists(const std::string& program_dir);
  // Writes each list anew; false when a file could not be written.
  bool save_test_lists(const std::string& program_dir) const;

 private:
  ComboBoxState& state(TestBox which) { return boxes_[static_cast<std::size_t>(which)]; }
  const ComboBoxState& state(TestBox which) const {
    return boxes_[static_cast<std::size_t>(which)];
  }
  void notify(TestBox which);
  // The handlers' bodies; the caller holds action_mutex_.
  bool parse_viewer_locked(Viewer& viewer);
  void remember_item_locked(TestBox which);
  void send_danmaku_locked();

  EventRelay& relay_;
  IndexPicker picker_;
  std::mt19937 random_;

  // Serializes handlers and ticks. They call into the relay and the panel,
  // whose observers may read this model, so the state has a lock of its own.
  std::mutex action_mutex_;
  mutable std::mutex state_mutex_;
  ComboBoxState boxes_[3];
  std::string gift_id_text_ = "1";
  std::shared_ptr<const BoxObserver> observer_;
};

// Runs Simulation::tick on a thread of its own at the current period, for a
// program without a window's timer. Stopped at start (period 0).
class SimulationTimer {
 public:
  explicit SimulationTimer(Simulation& simulation);
  // A tick function of its own (tests, other drivers).
  explicit SimulationTimer(std::function<void()> tick);
  ~SimulationTimer();  // stops and joins
  SimulationTimer(const SimulationTimer&) = delete;
  SimulationTimer& operator=(const SimulationTimer&) = delete;

  // 0 stops; otherwise the next tick comes period_ms after this call, then
  // every period_ms.
  void set_period(int period_ms);
  void start(int period_ms) { set_period(period_ms); }
  void stop() { set_period(0); }
  int period_ms() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace lumora::relay
