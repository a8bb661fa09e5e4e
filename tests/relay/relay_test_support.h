#pragma once
// Small helpers shared by the relay tests: a temporary folder, a recording
// EventPush, and the panel's message boxes.
#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "panel/panel_model.h"
#include "relay/event_push.h"

namespace lumora::relay::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "lumora_relay_XXXXXX").string();
    path_ = ::mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& entry : std::filesystem::directory_iterator(path_))
      out.push_back(entry.path().filename().string());
    return out;
  }

 private:
  std::string path_;
};

class RecordingPush : public EventPush {
 public:
  void push_to_last_client(std::string utf8_text) override {
    std::lock_guard lock(mutex_);
    texts_.push_back(std::move(utf8_text));
  }
  bool has_last_client() const override { return has_client_; }
  void set_has_client(bool on) { has_client_ = on; }
  std::vector<std::string> texts() const {
    std::lock_guard lock(mutex_);
    return texts_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> texts_;
  bool has_client_ = true;
};

// Collects the message boxes the panel shows.
class MessageLog {
 public:
  explicit MessageLog(panel::PanelModel& panel) : panel_(panel) {
    id_ = panel_.add_observer([this](const panel::PanelChange& change) {
      if (change.kind != panel::PanelChange::Kind::message_box) return;
      std::lock_guard lock(mutex_);
      messages_.push_back(change.text);
    });
  }
  ~MessageLog() { panel_.remove_observer(id_); }
  std::vector<std::string> messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }

 private:
  panel::PanelModel& panel_;
  panel::PanelModel::ObserverId id_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
};

inline std::string event_list(const std::vector<std::string>& records) {
  if (records.empty()) return "{}";
  std::string out = "{\"gameCmdDataList\":[";
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i) out += ",";
    out += records[i];
  }
  return out + "]}";
}

}  // namespace lumora::relay::testing
