#pragma once
// Room lookup: the live platform's web API turns the room number a user typed
// into the real room id, the room's title, the streamer's name and the token
// the danmaku connection authenticates with.
#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "live/live_endpoints.h"
#include "panel/panel_model.h"

namespace lumora::live {

// The result of a lookup; texts GBK. Whatever an answer lacks reads as 0 or
// empty text.
struct RoomInfo {
  std::int32_t room_id = 0;  // the real room id (room-info answer)
  std::string title;         // the room's title
  std::string uname;         // the streamer's name
  std::string token;         // the danmaku connection's key (danmaku-info answer)
};

// The two request addresses, the room text appended exactly as typed.
std::string room_info_url(const LiveEndpoints& endpoints, std::string_view room_text);
std::string danmaku_info_url(const LiveEndpoints& endpoints, std::string_view room_text);

// Reads the room-info fields from a UTF-8 answer body (room_id, title, uname)
// and the token from a danmaku-info body. Bad or empty bodies leave 0 and
// empty texts.
void read_room_info_answer(std::string_view body_utf8, RoomInfo& info);
void read_danmaku_info_answer(std::string_view body_utf8, RoomInfo& info);

// The line announcing the room in the log box (without its CR LF):
// "正在进入 " uname " 的直播间 <" title ">".
std::string room_log_line(const RoomInfo& info);

// Both requests with fetch_data's defaults, in order, the log line between
// them. Nothing is checked: a failed request gives the empty fields.
// room_text: the room box's text (GBK).
RoomInfo lookup_room(std::string_view room_text, const LiveEndpoints& endpoints,
                     panel::PanelModel& panel);

// One of the window's three live-room slots. Only slot 1 connects.
struct RoomSlot {
  int number = 0;                // 1..3
  panel::Control room_box;       // 编辑框_w1..3
  std::string_view setting_key;  // "直播间1".."直播间3" (UTF-8 source text)
  std::string_view button_name;  // 按钮_客户端_连接, 按钮_客户端_连接2, 按钮_客户端_连接3
  std::string_view initial_caption;  // "连接直播间①".. (UTF-8 source text)
  bool connects = false;             // only slot 1's button starts a connection
};

// The three slots, numbered 1 to 3.
const std::array<RoomSlot, 3>& room_slots() noexcept;

}  // namespace lumora::live
