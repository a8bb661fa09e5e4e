#pragma once
// A LiveEventSink that writes each call down as one line:
//   danmaku|uid|name|comment          gift|uid|name|id|gift name|count|price
//   follow|uid|name   enter|uid|name  guard|uid|name|guard name|start|end
// Texts stay GBK, as the sink received them.
#include <mutex>
#include <string>
#include <vector>

#include "live/live_dispatch.h"

namespace lumora::live::test {

class RecordingSink final : public LiveEventSink {
 public:
  void build_danmaku_event(std::string_view uid, std::string_view name,
                           std::string_view comment) override {
    add("danmaku|" + join({uid, name, comment}));
  }
  void build_gift_event(std::string_view uid, std::string_view name, std::int32_t gift_id,
                        std::string_view gift_name, std::int32_t count,
                        std::int32_t price) override {
    add("gift|" + join({uid, name, std::to_string(gift_id), gift_name, std::to_string(count),
                        std::to_string(price)}));
  }
  void build_follow_event(std::string_view uid, std::string_view name) override {
    add("follow|" + join({uid, name}));
  }
  void build_enter_event(std::string_view uid, std::string_view name) override {
    add("enter|" + join({uid, name}));
  }
  void build_guard_event(std::string_view uid, std::string_view name, std::string_view guard_name,
                         std::int32_t start_time, std::int32_t end_time) override {
    add("guard|" +
        join({uid, name, guard_name, std::to_string(start_time), std::to_string(end_time)}));
  }

  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_;
  }
  std::size_t size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_.size();
  }

 private:
  static std::string join(std::initializer_list<std::string_view> parts) {
    std::string out;
    bool first = true;
    for (std::string_view p : parts) {
      if (!first) out += '|';
      first = false;
      out += p;
    }
    return out;
  }
  void add(std::string line) {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(line));
  }
  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
};

}  // namespace lumora::live::test
