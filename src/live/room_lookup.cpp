#include "live/room_lookup.h"

#include "fetch/fetch.h"
#include "json/jmap.h"
#include "text/gbk.h"
#include "text/literal.h"

namespace lumora::live {

using namespace text::literals;

namespace {

// The answers are UTF-8; the program reads them as GBK text, up to the first
// zero byte, as every live answer is read.
bool load_answer(std::string_view body_utf8, json::JMap& answer) {
  if (body_utf8.empty()) return false;
  return answer.load(text::utf8_to_gbk_until_nul(body_utf8));
}

}  // namespace

std::string room_info_url(const LiveEndpoints& endpoints, std::string_view room_text) {
  std::string url = endpoints.api_base_url;
  url += "/xlive/web-room/v1/index/getInfoByRoom?room_id=";
  url += room_text;
  return url;
}

std::string danmaku_info_url(const LiveEndpoints& endpoints, std::string_view room_text) {
  std::string url = endpoints.api_base_url;
  url += "/xlive/web-room/v1/index/getDanmuInfo?id=";
  url += room_text;
  url += "&type=0";
  return url;
}

void read_room_info_answer(std::string_view body_utf8, RoomInfo& info) {
  json::JMap answer;
  if (!load_answer(body_utf8, answer)) return;
  info.room_id = answer.get_int("//data.room_info.room_id");
  info.title = answer.get_text("//data.room_info.title");
  info.uname = answer.get_text("//data.anchor_info.base_info.uname");
}

void read_danmaku_info_answer(std::string_view body_utf8, RoomInfo& info) {
  json::JMap answer;
  if (!load_answer(body_utf8, answer)) return;
  info.token = answer.get_text("//data.token");
}

std::string room_log_line(const RoomInfo& info) {
  std::string line = "正在进入 "_gbk;
  line += info.uname;
  line += " 的直播间 <"_gbk;
  line += info.title;
  line += '>';
  return line;
}

RoomInfo lookup_room(std::string_view room_text, const LiveEndpoints& endpoints,
                     panel::PanelModel& panel) {
  RoomInfo info;
  read_room_info_answer(fetch::fetch_data(room_info_url(endpoints, room_text)), info);
  panel.append_log(room_log_line(info));
  // The typed number, not the real id: the platform resolves both.
  read_danmaku_info_answer(fetch::fetch_data(danmaku_info_url(endpoints, room_text)), info);
  return info;
}

const std::array<RoomSlot, 3>& room_slots() noexcept {
  static const std::array<RoomSlot, 3> slots{{
      {1, panel::Control::编辑框_w1, "直播间1", "按钮_客户端_连接", "连接直播间①", true},
      {2, panel::Control::编辑框_w2, "直播间2", "按钮_客户端_连接2", "连接直播间②", false},
      {3, panel::Control::编辑框_w3, "直播间3", "按钮_客户端_连接3", "连接直播间③", false},
  }};
  return slots;
}

}  // namespace lumora::live
