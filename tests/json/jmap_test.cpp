#include "json/jmap.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

using lumora::json::JMap;

namespace {

// The shape of a live danmaku message: info[1] the comment, info[2] the sender.
constexpr const char* kDanmaku =
    R"({"cmd":"DANMU_MSG","info":[[0,1,25,16777215,1610100373678,225520207,0,"77859eb6"],)"
    R"("hello there",[390117739,"viewer name",0,0,0,10000,1,""],[],[0,0,9868950,">50000",0],)"
    R"(["",""],0,0,null,{"ts":1610100373,"ct":"5272B1AB"},0,0,null,null,0]})";

TEST(JMapPaths, DanmakuInfoArrayCountsFromOne) {
  JMap map;
  ASSERT_TRUE(map.load(kDanmaku));
  EXPECT_EQ(map.get_text("//cmd"), "DANMU_MSG");
  EXPECT_EQ(map.get_text("//info[2]"), "hello there");
  EXPECT_EQ(map.get_text("//info[3][1]"), "390117739");
  EXPECT_EQ(map.get_int("//info[3][1]"), 390117739);
  EXPECT_EQ(map.get_text("//info[3][2]"), "viewer name");
  EXPECT_EQ(map.get_text("//info[5][4]"), ">50000");
  EXPECT_EQ(map.get_int64("//info[1][5]"), 1610100373678LL);
  EXPECT_EQ(map.get_text("//info[10].ct"), "5272B1AB");
  EXPECT_EQ(map.get_text("//info[4]"), "[]");
  EXPECT_EQ(map.count("//info"), 15u);
  EXPECT_EQ(map.count("//info[3]"), 8u);
  // Out of range, zero, malformed and missing steps read as nothing.
  for (const char* path : {"//info[0]", "//info[16]", "//info[3][9]", "//info[x]", "//info[",
                           "//info[]", "//info[2][1]", "//nothing", "//info.cmd", "//cmd[1]"}) {
    EXPECT_EQ(map.get_text(path), "") << path;
    EXPECT_EQ(map.get_int(path), 0) << path;
    EXPECT_EQ(map.count(path), 0u) << path;
  }
}

TEST(JMapPaths, CapturedDanmakuMessage) {
  const std::string file =
      LUMORA_TESTDATA_DIR "/bilibili/messages/DANMU_MSG.wire.sunkeycn-zlib-2021-01.1.json";
  if (!std::filesystem::exists(file)) GTEST_SKIP() << "no captured data at " << file;
  std::ifstream in(file, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  JMap map;
  ASSERT_TRUE(map.load(content.str()));
  EXPECT_EQ(map.get_text("//info[2]"), "这是比赛，没必要让");  // UTF-8 as loaded
  EXPECT_EQ(map.get_text("//info[3][1]"), "390117739");
  EXPECT_EQ(map.get_text("//info[3][2]"), "哦豁wylzz");
}

TEST(JMapPaths, MemberChainsAndSongLists) {
  JMap room;
  ASSERT_TRUE(
      room.load(R"({"code":0,"data":{"room_info":{"room_id":21452505,"title":"T","live_status":1},)"
                R"("anchor_info":{"base_info":{"uname":"Streamer"}},"token":"tok=="}})"));
  EXPECT_EQ(room.get_int("//data.room_info.room_id"), 21452505);
  EXPECT_EQ(room.get_text("//data.room_info.title"), "T");
  EXPECT_EQ(room.get_text("//data.anchor_info.base_info.uname"), "Streamer");
  EXPECT_EQ(room.get_text("//data.token"), "tok==");
  EXPECT_EQ(room.get_text("//data.room_info.missing"), "");
  EXPECT_EQ(room.get_text("//data.room_info"),
            R"({"room_id":21452505,"title":"T","live_status":1})");

  JMap songs;
  ASSERT_TRUE(songs.load(R"({"result":{"songs":[{"name":"A","id":11,"artists":[{"name":"x"}]},)"
                         R"({"name":"B","id":22,"duration":1.5}]}})"));
  ASSERT_EQ(songs.count("//result.songs"), 2u);
  std::string names;
  for (std::size_t n = 1; n <= songs.count("//result.songs"); ++n)
    names += songs.get_text("//result.songs[" + std::to_string(n) + "].name");
  EXPECT_EQ(names, "AB");
  EXPECT_EQ(songs.get_text("//result.songs[1].artists[1].name"), "x");
  EXPECT_EQ(songs.get_text("//result.songs[2].duration"), "1.5");
  EXPECT_EQ(songs.get_int("//result.songs[2].duration"), 1);
  EXPECT_EQ(songs.count("//result.none"), 0u);

  JMap url;
  ASSERT_TRUE(url.load(R"({"data":[{"url":"http://m/1.mp3","ok":true,"gain":null}]})"));
  EXPECT_EQ(url.get_text("//data[1].url"), "http://m/1.mp3");
  EXPECT_EQ(url.get_text("//data[1].ok"), "true");
  EXPECT_EQ(url.get_int("//data[1].ok"), 0);
  EXPECT_EQ(url.get_text("//data[1].gain"), "");
  EXPECT_EQ(url.get_int(" //data[1].url"), 0);
}

TEST(JMapPaths, LeadingIntegerRuleOnTexts) {
  JMap map;
  ASSERT_TRUE(map.load(R"({"uid":"  -42abc","big":"5000000000","top":[7]})"));
  EXPECT_EQ(map.get_int("//uid"), -42);
  EXPECT_EQ(map.get_int64("//big"), 5000000000LL);
  EXPECT_EQ(map.get_int("//top[1]"), 7);
  EXPECT_EQ(map.get_text("//"), R"({"uid":"  -42abc","big":"5000000000","top":[7]})");

  JMap array_top;
  ASSERT_TRUE(array_top.load(R"([{"a":1},{"a":2}])"));
  EXPECT_EQ(array_top.get_int("//[2].a"), 2);
  EXPECT_EQ(array_top.count("//"), 2u);
}

TEST(JMapWrite, AuthenticationBodyInInsertionOrder) {
  JMap auth;
  EXPECT_TRUE(auth.set_int("uid", 0));
  EXPECT_TRUE(auth.set_int("roomid", 21452505));
  EXPECT_TRUE(auth.set_int("protover", 1));
  EXPECT_TRUE(auth.set_text("platform", "client"));
  EXPECT_TRUE(auth.set_int("type", 1));
  EXPECT_TRUE(auth.set_text("//key", "tok=="));
  EXPECT_EQ(
      auth.to_json(),
      R"({"uid":0,"roomid":21452505,"protover":1,"platform":"client","type":1,"key":"tok=="})");
  EXPECT_TRUE(auth.set_int("roomid", 7));  // replaced in place
  EXPECT_EQ(auth.get_int("//roomid"), 7);
  EXPECT_EQ(auth.to_json().find("\"roomid\":7,"), 9u);
}

TEST(JMapWrite, SetCreatesMembersAlongThePath) {
  JMap map;
  EXPECT_TRUE(map.set_text("//a.b.c", "x"));
  EXPECT_TRUE(map.set_int64("//a.n", 5000000000LL));
  EXPECT_TRUE(map.set_text("//list[1].name", "first"));
  EXPECT_TRUE(map.set_int("//list[2]", 2));
  EXPECT_EQ(map.to_json(), R"({"a":{"b":{"c":"x"},"n":5000000000},"list":[{"name":"first"},2]})");
  // Through a scalar, past the end, or malformed: refused, nothing changes.
  EXPECT_FALSE(map.set_text("//a.b.c.d", "y"));
  EXPECT_FALSE(map.set_int("//list[4]", 1));
  EXPECT_FALSE(map.set_int("//list[0]", 1));
  EXPECT_FALSE(map.set_int("//list[", 1));
  EXPECT_EQ(map.count("//list"), 2u);
  map.clear();
  EXPECT_EQ(map.to_json(), "{}");
}

TEST(JMapLoad, BadTextLeavesAnEmptyMapAndBytesStayAsGiven) {
  JMap map;
  ASSERT_TRUE(map.load(R"({"a":1})"));
  EXPECT_FALSE(map.load("{\"a\":"));
  EXPECT_EQ(map.to_json(), "{}");
  EXPECT_EQ(map.get_int("//a"), 0);
  EXPECT_FALSE(map.load(""));

  const std::string gbk = "{\"uname\":\"\xD5\xC5\xC8\xFD\"}";  // GBK bytes
  ASSERT_TRUE(map.load(gbk));
  EXPECT_EQ(map.get_text("//uname"), "\xD5\xC5\xC8\xFD");
  EXPECT_EQ(map.to_json(), gbk);
}

}  // namespace
