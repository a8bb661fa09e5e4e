#pragma once
// Live message decoding: each JSON message of a received frame is read by its
// "cmd" and, for the commands that stand for a viewer action, turned into one
// call of a LiveEventSink (the five event builders). The relay's EventRelay
// is the program's sink; tests give their own.
//
// Commands and what they give:
//   INTERACT_WORD  data.msg_type 1: enter(data.uid, data.uname)
//                  data.msg_type 2: follow(data.uid, data.uname)
//   DANMU_MSG      danmaku(info[2][0], info[2][1], info[1])
//   SEND_GIFT      gift(data.uid, data.uname, data.giftId, data.giftName,
//                       data.num, data.price)
//   GUARD_BUY      guard(data.uid, data.username, data.gift_name,
//                        data.start_time, data.end_time)
//   COMBO_SEND, ENTRY_EFFECT and every other command: nothing.
// A command carrying a suffix after ":" ("DANMU_MSG:4:0:2:2:2:0") is read as
// the command before the ":". Fields read as text give numbers in decimal;
// integers are 32-bit (the low 32 bits of a larger value); a missing field is
// empty text or 0 and the event is still given. A message that is no JSON is
// skipped; a message without "cmd" ends its frame: the messages after it are
// not looked at.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "live/packet_codec.h"
#include "relay/event_relay.h"

namespace lumora::live {

// Receives the decoded viewer actions. Texts are GBK and live only for the
// call.
class LiveEventSink {
 public:
  virtual ~LiveEventSink() = default;
  virtual void build_danmaku_event(std::string_view uid_text, std::string_view name,
                                   std::string_view comment) = 0;
  virtual void build_gift_event(std::string_view uid_text, std::string_view name,
                                std::int32_t gift_id, std::string_view gift_name,
                                std::int32_t count, std::int32_t price) = 0;
  virtual void build_follow_event(std::string_view uid_text, std::string_view name) = 0;
  virtual void build_enter_event(std::string_view uid_text, std::string_view name) = 0;
  virtual void build_guard_event(std::string_view uid_text, std::string_view name,
                                 std::string_view guard_name, std::int32_t start_time,
                                 std::int32_t end_time) = 0;
};

// The program's sink: each call goes to the relay's builder of that name
// (which logs, builds the ViewerEvent and delivers it).
class RelayEventSink final : public LiveEventSink {
 public:
  explicit RelayEventSink(relay::EventRelay& relay) : relay_(relay) {}
  void build_danmaku_event(std::string_view uid_text, std::string_view name,
                           std::string_view comment) override {
    relay_.build_danmaku_event(uid_text, name, comment);
  }
  void build_gift_event(std::string_view uid_text, std::string_view name, std::int32_t gift_id,
                        std::string_view gift_name, std::int32_t count,
                        std::int32_t price) override {
    relay_.build_gift_event(uid_text, name, gift_id, gift_name, count, price);
  }
  void build_follow_event(std::string_view uid_text, std::string_view name) override {
    relay_.build_follow_event(uid_text, name);
  }
  void build_enter_event(std::string_view uid_text, std::string_view name) override {
    relay_.build_enter_event(uid_text, name);
  }
  void build_guard_event(std::string_view uid_text, std::string_view name,
                         std::string_view guard_name, std::int32_t start_time,
                         std::int32_t end_time) override {
    relay_.build_guard_event(uid_text, name, guard_name, start_time, end_time);
  }

 private:
  relay::EventRelay& relay_;
};

// The command name of a "cmd" value: the text before its first ":".
std::string_view live_command_name(std::string_view cmd) noexcept;

// Decodes the messages of one frame after another into a sink. As a
// MessageSink it can be handed to PacketDecoder::unpack directly, so each
// message is parsed once, straight from the decoder's buffer. One dispatcher
// per connection or thread (it keeps its parse buffers).
class LiveMessageDispatcher final : public MessageSink {
 public:
  explicit LiveMessageDispatcher(LiveEventSink& sink) : sink_(sink) {}

  // Starts a new frame: a frame stopped by a message without "cmd" ends here.
  void begin_frame() noexcept { stopped_ = false; }
  // One message (UTF-8 JSON). False when the frame is stopped (by this
  // message or an earlier one) and later messages are ignored.
  bool dispatch(std::string_view json_utf8);
  void on_message(std::string_view json_utf8) override { dispatch(json_utf8); }

  struct Counters {
    std::uint64_t messages = 0;  // texts looked at
    std::uint64_t not_json = 0;  // skipped as no JSON
    std::uint64_t events = 0;    // sink calls made
    std::uint64_t stops = 0;     // frames ended by a message without "cmd"
  };
  const Counters& counters() const noexcept { return counters_; }

 private:
  LiveEventSink& sink_;
  // Each message is parsed once, read-only, into this buffer (grown to the
  // largest message seen, never shrunk), so steady decoding allocates nothing
  // for the parse. The fields are read with the same "//" path rules as JMap;
  // a mutable map would cost a second copy of every message.
  std::vector<std::uint64_t> parse_pool_;
  bool stopped_ = false;
  Counters counters_;
};

// Decodes one frame's messages (UTF-8 JSON texts, as unpack_frame gives them)
// in order into sink.
void dispatch_live_messages(const std::vector<std::string>& texts_utf8, LiveEventSink& sink);

}  // namespace lumora::live
