#include "panel/panel_model.h"

#include "text/literal.h"

namespace lumora::panel {

using namespace lumora::text::literals;

namespace {
constexpr std::string_view kControlNames[kControlCount] = {
    "标签_客户端_状态", "按钮_客户端_连接", "编辑框_w1", "编辑框_w2",       "编辑框_w3",
    "单选框_UTF8",      "单选框_GBK",       "标签_WSS",  "标签_HTTP",       "选择框_wss",
    "选择框_文件系统",  "选择框_http",      "编辑框2",   "单选框_弹幕截取", "编辑框_截取字符",
    "单选框_弹幕分割",  "编辑框_分割字符",
};

constexpr std::size_t index_of(Control c) {
  return static_cast<std::size_t>(c);
}

// The other member of a radio group, if the control is a radio button.
std::optional<Control> radio_partner(Control c) {
  switch (c) {
    case Control::单选框_UTF8:
      return Control::单选框_GBK;
    case Control::单选框_GBK:
      return Control::单选框_UTF8;
    case Control::单选框_弹幕截取:
      return Control::单选框_弹幕分割;
    case Control::单选框_弹幕分割:
      return Control::单选框_弹幕截取;
    default:
      return std::nullopt;
  }
}
}  // namespace

std::string_view control_name(Control control) noexcept {
  return kControlNames[index_of(control)];
}

PanelModel::PanelModel() {
  controls_[index_of(Control::选择框_wss)].checked = true;
  controls_[index_of(Control::单选框_UTF8)].checked = true;
  controls_[index_of(Control::单选框_弹幕分割)].checked = true;
  controls_[index_of(Control::编辑框_截取字符)].text = "1";
  controls_[index_of(Control::编辑框_分割字符)].text = "-";
  controls_[index_of(Control::按钮_客户端_连接)].text = "连接直播间①"_gbk;
  controls_[index_of(Control::标签_WSS)].text = "WSS";
  controls_[index_of(Control::标签_HTTP)].text = "HTTP";
}

bool PanelModel::checked(Control control) const {
  std::lock_guard lock(mutex_);
  return controls_[index_of(control)].checked;
}

void PanelModel::set_checked(Control control, bool on) {
  std::optional<Control> partner = radio_partner(control);
  bool partner_changed = false;
  {
    std::lock_guard lock(mutex_);
    ControlState& state = controls_[index_of(control)];
    if (state.checked == on) return;
    state.checked = on;
    if (partner && on && controls_[index_of(*partner)].checked) {
      controls_[index_of(*partner)].checked = false;
      partner_changed = true;
    }
  }
  notify_state(control);
  if (partner_changed) notify_state(*partner);
}

std::string PanelModel::text(Control control) const {
  std::lock_guard lock(mutex_);
  return controls_[index_of(control)].text;
}

void PanelModel::set_text(Control control, std::string_view text) {
  {
    std::lock_guard lock(mutex_);
    ControlState& state = controls_[index_of(control)];
    if (state.text == text) return;
    state.text.assign(text);
  }
  notify_state(control);
}

void PanelModel::set_caption(Control control, std::string_view caption, Colour colour) {
  {
    std::lock_guard lock(mutex_);
    ControlState& state = controls_[index_of(control)];
    if (state.text == caption && state.colour == colour) return;
    state.text.assign(caption);
    state.colour = colour;
  }
  notify_state(control);
}

std::optional<Colour> PanelModel::colour(Control control) const {
  std::lock_guard lock(mutex_);
  return controls_[index_of(control)].colour;
}

SplitMode PanelModel::split_mode() const {
  std::lock_guard lock(mutex_);
  if (controls_[index_of(Control::单选框_弹幕截取)].checked) return SplitMode::first_bytes;
  if (controls_[index_of(Control::单选框_弹幕分割)].checked) return SplitMode::separator;
  return SplitMode::none;
}

void PanelModel::append_log(std::string_view line) {
  {
    std::lock_guard lock(mutex_);
    if (log_.size() == kRecentLogLines) log_.pop_front();
    log_.emplace_back(line);
  }
  PanelChange change;
  change.kind = PanelChange::Kind::log_line;
  change.control = Control::编辑框2;
  change.text.assign(line);
  notify(change);
}

std::vector<std::string> PanelModel::recent_log() const {
  std::lock_guard lock(mutex_);
  return {log_.begin(), log_.end()};
}

void PanelModel::show_message(std::string_view text, std::string_view caption) {
  PanelChange change;
  change.kind = PanelChange::Kind::message_box;
  change.text.assign(text);
  change.caption.assign(caption);
  notify(change);
}

void PanelModel::request_quit(int exit_code) {
  {
    std::lock_guard lock(mutex_);
    if (quit_) return;
    quit_ = true;
    exit_code_ = exit_code;
  }
  quit_cv_.notify_all();
  PanelChange change;
  change.kind = PanelChange::Kind::quit;
  change.exit_code = exit_code;
  notify(change);
}

bool PanelModel::quit_requested() const {
  std::lock_guard lock(mutex_);
  return quit_;
}

int PanelModel::exit_code() const {
  std::lock_guard lock(mutex_);
  return exit_code_;
}

int PanelModel::wait_for_quit() {
  std::unique_lock lock(mutex_);
  quit_cv_.wait(lock, [this] { return quit_; });
  return exit_code_;
}

PanelModel::ObserverId PanelModel::add_observer(Observer observer) {
  std::lock_guard lock(observers_mutex_);
  ObserverId id = next_observer_id_++;
  observers_.emplace_back(id, std::make_shared<const Observer>(std::move(observer)));
  return id;
}

void PanelModel::remove_observer(ObserverId id) {
  std::lock_guard lock(observers_mutex_);
  std::erase_if(observers_, [id](const auto& entry) { return entry.first == id; });
}

void PanelModel::notify_state(Control control) {
  PanelChange change;
  change.kind = PanelChange::Kind::state;
  change.control = control;
  {
    std::lock_guard lock(mutex_);
    change.text = controls_[index_of(control)].text;
  }
  notify(change);
}

void PanelModel::notify(const PanelChange& change) {
  std::vector<std::shared_ptr<const Observer>> snapshot;
  {
    std::lock_guard lock(observers_mutex_);
    if (observers_.empty()) return;
    snapshot.reserve(observers_.size());
    for (const auto& entry : observers_) snapshot.push_back(entry.second);
  }
  for (const auto& observer : snapshot) (*observer)(change);
}

}  // namespace lumora::panel
