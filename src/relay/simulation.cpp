#include "relay/simulation.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "relay/file_write.h"
#include "text/literal.h"
#include "text/number.h"
#include "text/split.h"

namespace lumora::relay {

using namespace lumora::text::literals;

namespace {

constexpr std::string_view kLineEnd = "\r\n";

// The list files, in the order they are loaded and saved.
struct ListFile {
  TestBox box;
  const char* name;
};
constexpr ListFile kListFiles[] = {
    {TestBox::content, "content.txt"},
    {TestBox::uid, "uid.txt"},
    {TestBox::gif, "gif.txt"},
};

std::string path_in(const std::string& dir, const char* name) {
  if (dir.empty()) return name;
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

}  // namespace

const std::string& viewer_format_message() {
  return "uid格式必须为：uid-name  例如：123456-Pebblefox"_gbk;
}

bool split_viewer(std::string_view text, Viewer& viewer) {
  // Text after a second "-" is dropped, so "1-a-b" is viewer 1 named "a".
  std::vector<std::string> pieces = text::split_by_separator(text, "-", 2);
  if (pieces.size() != 2) return false;
  viewer.uid_text = std::move(pieces[0]);
  viewer.name = std::move(pieces[1]);
  return true;
}

int slider_period_ms(int position, int maximum) {
  if (maximum < 0) maximum = 0;
  position = std::clamp(position, 0, maximum);
  if (position == 0) return 0;
  return maximum - position + 300;
}

Simulation::Simulation(EventRelay& relay, IndexPicker picker)
    : relay_(relay), picker_(std::move(picker)), random_(std::random_device{}()) {}

ComboBoxState Simulation::box(TestBox which) const {
  std::lock_guard lock(state_mutex_);
  return state(which);
}

void Simulation::set_box_text(TestBox which, std::string_view text) {
  {
    std::lock_guard lock(state_mutex_);
    ComboBoxState& box = state(which);
    box.text.assign(text);
    box.selected = -1;
  }
  notify(which);
}

void Simulation::select_item(TestBox which, int index) {
  {
    std::lock_guard lock(state_mutex_);
    ComboBoxState& box = state(which);
    if (index >= 0 && static_cast<std::size_t>(index) < box.items.size()) {
      box.selected = index;
      box.text = box.items[static_cast<std::size_t>(index)];
    } else {
      box.selected = -1;
      box.text.clear();
    }
  }
  notify(which);
}

void Simulation::append_item(TestBox which, std::string_view item) {
  {
    std::lock_guard lock(state_mutex_);
    state(which).items.emplace_back(item);
  }
  notify(which);
}

std::string Simulation::gift_id_text() const {
  std::lock_guard lock(state_mutex_);
  return gift_id_text_;
}

void Simulation::set_gift_id_text(std::string_view text) {
  std::lock_guard lock(state_mutex_);
  gift_id_text_.assign(text);
}

void Simulation::set_observer(BoxObserver observer) {
  auto shared = observer ? std::make_shared<const BoxObserver>(std::move(observer)) : nullptr;
  std::lock_guard lock(state_mutex_);
  observer_ = std::move(shared);
}

void Simulation::notify(TestBox which) {
  std::shared_ptr<const BoxObserver> observer;
  {
    std::lock_guard lock(state_mutex_);
    observer = observer_;
  }
  if (observer) (*observer)(which);
}

bool Simulation::parse_viewer(Viewer& viewer) {
  std::lock_guard action(action_mutex_);
  return parse_viewer_locked(viewer);
}

bool Simulation::parse_viewer_locked(Viewer& viewer) {
  std::string text;
  {
    std::lock_guard lock(state_mutex_);
    text = state(TestBox::uid).text;
  }
  if (split_viewer(text, viewer)) return true;
  relay_.panel().show_message(viewer_format_message(), "");
  return false;
}

void Simulation::remember_item(TestBox which) {
  std::lock_guard action(action_mutex_);
  remember_item_locked(which);
}

void Simulation::remember_item_locked(TestBox which) {
  {
    std::lock_guard lock(state_mutex_);
    ComboBoxState& box = state(which);
    if (std::find(box.items.begin(), box.items.end(), box.text) != box.items.end()) return;
    box.items.insert(box.items.begin(), box.text);
    // The selected item moved down by one; it stays the selected one.
    if (box.selected >= 0) ++box.selected;
  }
  notify(which);
}

void Simulation::send_danmaku() {
  std::lock_guard action(action_mutex_);
  send_danmaku_locked();
}

void Simulation::send_danmaku_locked() {
  Viewer viewer;
  if (!parse_viewer_locked(viewer)) return;
  remember_item_locked(TestBox::uid);
  remember_item_locked(TestBox::content);
  std::string comment = box(TestBox::content).text;
  relay_.build_danmaku_event(viewer.uid_text, viewer.name, comment);
}

void Simulation::send_follow() {
  std::lock_guard action(action_mutex_);
  Viewer viewer;
  if (!parse_viewer_locked(viewer)) return;
  remember_item_locked(TestBox::uid);
  relay_.build_follow_event(viewer.uid_text, viewer.name);
}

void Simulation::send_enter() {
  std::lock_guard action(action_mutex_);
  Viewer viewer;
  if (!parse_viewer_locked(viewer)) return;
  remember_item_locked(TestBox::uid);
  relay_.build_enter_event(viewer.uid_text, viewer.name);
}

void Simulation::send_gift() {
  std::lock_guard action(action_mutex_);
  Viewer viewer;
  if (!parse_viewer_locked(viewer)) return;
  remember_item_locked(TestBox::uid);
  remember_item_locked(TestBox::gif);
  std::int32_t gift_id = 0;
  std::int32_t price = 0;
  {
    std::lock_guard lock(state_mutex_);
    gift_id = text::read_leading_int(gift_id_text_);
    price = text::read_leading_int(state(TestBox::gif).text);
  }
  relay_.build_gift_event(viewer.uid_text, viewer.name, gift_id, "测试礼物"_gbk, 1, price);
}

void Simulation::remove_selected(TestBox which) {
  std::lock_guard action(action_mutex_);
  {
    std::lock_guard lock(state_mutex_);
    ComboBoxState& box = state(which);
    if (box.selected < 0 || static_cast<std::size_t>(box.selected) >= box.items.size()) return;
    box.items.erase(box.items.begin() + box.selected);
    box.selected = -1;
  }
  notify(which);
}

int Simulation::on_slider_moved(int position, int maximum) {
  return slider_period_ms(position, maximum);
}

void Simulation::tick() {
  std::lock_guard action(action_mutex_);
  for (TestBox which : {TestBox::uid, TestBox::content}) {
    std::size_t count = box(which).items.size();
    int index = -1;
    if (count > 0) {
      std::size_t picked = picker_
                               ? picker_(count)
                               : std::uniform_int_distribution<std::size_t>(0, count - 1)(random_);
      if (picked < count) index = static_cast<int>(picked);
    }
    select_item(which, index);
  }
  send_danmaku_locked();
}

void Simulation::load_test_lists(const std::string& program_dir) {
  for (const ListFile& file : kListFiles) {
    std::string bytes = read_whole_file(path_in(program_dir, file.name));
    std::vector<std::string> lines = text::split_by_separator(bytes, kLineEnd);
    {
      std::lock_guard lock(state_mutex_);
      std::vector<std::string>& items = state(file.box).items;
      items.insert(items.end(), std::make_move_iterator(lines.begin()),
                   std::make_move_iterator(lines.end()));
    }
    notify(file.box);
  }
}

bool Simulation::save_test_lists(const std::string& program_dir) const {
  bool all_written = true;
  for (const ListFile& file : kListFiles) {
    std::string bytes;
    {
      std::lock_guard lock(state_mutex_);
      for (const std::string& item : state(file.box).items) bytes.append(item).append(kLineEnd);
    }
    if (!replace_file(path_in(program_dir, file.name), bytes)) all_written = false;
  }
  return all_written;
}

// ---- SimulationTimer ----

struct SimulationTimer::State {
  std::function<void()> tick;
  mutable std::mutex mutex;
  std::condition_variable changed;
  int period_ms = 0;
  std::uint64_t generation = 0;  // bumped by every set_period: the schedule restarts
  bool quit = false;
  std::thread thread;

  void run() {
    using Clock = std::chrono::steady_clock;
    std::unique_lock lock(mutex);
    while (!quit) {
      if (period_ms <= 0) {
        changed.wait(lock);
        continue;
      }
      std::uint64_t seen = generation;
      auto period = std::chrono::milliseconds(period_ms);
      Clock::time_point due = Clock::now() + period;
      while (!quit && generation == seen) {
        if (changed.wait_until(lock, due) != std::cv_status::timeout) continue;
        lock.unlock();
        try {
          tick();
        } catch (...) {
          // A tick's failure must not end the timer thread.
        }
        lock.lock();
        due += period;
        // After a slow tick the next one comes a period later, not in a burst.
        Clock::time_point now = Clock::now();
        if (due < now) due = now + period;
      }
    }
  }
};

SimulationTimer::SimulationTimer(Simulation& simulation)
    : SimulationTimer([&simulation] { simulation.tick(); }) {}

SimulationTimer::SimulationTimer(std::function<void()> tick) : state_(std::make_unique<State>()) {
  state_->tick = std::move(tick);
  state_->thread = std::thread([state = state_.get()] { state->run(); });
}

SimulationTimer::~SimulationTimer() {
  {
    std::lock_guard lock(state_->mutex);
    state_->quit = true;
  }
  state_->changed.notify_all();
  if (state_->thread.joinable()) state_->thread.join();
}

void SimulationTimer::set_period(int period_ms) {
  {
    std::lock_guard lock(state_->mutex);
    state_->period_ms = period_ms < 0 ? 0 : period_ms;
    ++state_->generation;
  }
  state_->changed.notify_all();
}

int SimulationTimer::period_ms() const {
  std::lock_guard lock(state_->mutex);
  return state_->period_ms;
}

}  // namespace lumora::relay
