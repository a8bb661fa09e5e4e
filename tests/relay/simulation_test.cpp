#include "relay/simulation.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "relay/file_write.h"
#include "relay_test_support.h"
#include "text/literal.h"

namespace lumora::relay {
namespace {

using namespace lumora::text::literals;
using panel::Control;
using testing::MessageLog;
using testing::TempDir;

class SimulationTest : public ::testing::Test {
 protected:
  SimulationTest()
      : relay(panel, dir.file("data.json")),
        simulation(relay, [this](std::size_t count) { return next_pick % count; }),
        messages(panel) {
    panel.set_checked(Control::选择框_http, true);
  }
  std::string taken() { return relay.take_polling_list(false); }

  TempDir dir;
  panel::PanelModel panel;
  EventRelay relay;
  std::size_t next_pick = 0;
  Simulation simulation;
  MessageLog messages;
};

TEST_F(SimulationTest, ParseViewer) {
  struct Case {
    const char* text;
    bool ok;
    const char* uid_text;
    const char* name;
  } cases[] = {
      {"123-abc", true, "123", "abc"},
      {"123-abc-def", true, "123", "abc"},
      {"-abc", true, "", "abc"},
      {"123--", true, "123", ""},
      {"123-", false, "", ""},
      {"123", false, "", ""},
      {"", false, "", ""},
  };
  std::size_t expected_messages = 0;
  for (const Case& c : cases) {
    simulation.set_box_text(TestBox::uid, c.text);
    Viewer viewer;
    EXPECT_EQ(simulation.parse_viewer(viewer), c.ok) << c.text;
    if (!c.ok) {
      ++expected_messages;
      continue;
    }
    EXPECT_EQ(viewer.uid_text, c.uid_text) << c.text;
    EXPECT_EQ(viewer.name, c.name) << c.text;
  }
  auto shown = messages.messages();
  ASSERT_EQ(shown.size(), expected_messages);
  EXPECT_EQ(shown[0], "uid格式必须为：uid-name  例如：123456-Pebblefox"_gbk);
}

TEST_F(SimulationTest, BadViewerSendsAndRemembersNothing) {
  simulation.set_box_text(TestBox::uid, "123");
  simulation.set_box_text(TestBox::content, "hi");
  simulation.send_danmaku();
  simulation.send_gift();
  simulation.send_follow();
  simulation.send_enter();
  EXPECT_EQ(messages.messages().size(), 4u);
  EXPECT_EQ(taken(), "{}");
  EXPECT_TRUE(simulation.box(TestBox::uid).items.empty());
  EXPECT_TRUE(simulation.box(TestBox::content).items.empty());
}

TEST_F(SimulationTest, DanmakuIsRememberedOnceAndFirst) {
  simulation.append_item(TestBox::uid, "1-old");
  simulation.set_box_text(TestBox::uid, "-abc");
  simulation.set_box_text(TestBox::content, "go-left");
  simulation.send_danmaku();
  simulation.send_danmaku();
  EXPECT_EQ(simulation.box(TestBox::uid).items, (std::vector<std::string>{"-abc", "1-old"}));
  EXPECT_EQ(simulation.box(TestBox::content).items, std::vector<std::string>{"go-left"});
  EXPECT_EQ(simulation.box(TestBox::uid).text, "-abc");
  std::string record =
      "{\"uid\":0,\"name\":\"abc\",\"type\":1,\"instruct\":\"go\",\"parameter1\":\"left\","
      "\"parameter2\":\"\",\"data\":\"go-left\",\"head\":\"http://127.0.0.1/head?uid=\"}";
  EXPECT_EQ(taken(), testing::event_list({record, record}));
}

TEST_F(SimulationTest, GiftFollowAndEntry) {
  simulation.set_box_text(TestBox::uid, "5-v");
  simulation.set_gift_id_text("7");
  simulation.set_box_text(TestBox::gif, "100");
  simulation.send_gift();
  simulation.send_follow();
  simulation.send_enter();
  EXPECT_EQ(
      taken(),
      testing::event_list(
          {"{\"uid\":5,\"name\":\"v\",\"type\":2,\"gif_id\":7,\"gif_name\":\"测试礼物\","
           "\"gif_num\":1,\"gif_price\":100,\"head\":\"http://127.0.0.1/head?uid=5\"}"_gbk,
           "{\"uid\":5,\"name\":\"v\",\"type\":3,\"head\":\"http://127.0.0.1/head?uid=5\"}",
           "{\"uid\":5,\"name\":\"v\",\"type\":4,\"head\":\"http://127.0.0.1/head?uid=5\"}"}));
  EXPECT_EQ(simulation.box(TestBox::gif).items, std::vector<std::string>{"100"});
  EXPECT_EQ(simulation.box(TestBox::uid).items, std::vector<std::string>{"5-v"});

  // No digits: id and price 0.
  simulation.set_gift_id_text("x");
  simulation.set_box_text(TestBox::gif, "free");
  simulation.send_gift();
  std::string gift = taken();
  EXPECT_NE(gift.find("\"gif_id\":0,"), std::string::npos) << gift;
  EXPECT_NE(gift.find("\"gif_price\":0,"), std::string::npos) << gift;
}

TEST_F(SimulationTest, RemoveSelectedItem) {
  for (const char* item : {"a", "b", "c"}) simulation.append_item(TestBox::content, item);
  simulation.remove_selected(TestBox::content);  // nothing selected
  EXPECT_EQ(simulation.box(TestBox::content).items.size(), 3u);
  simulation.select_item(TestBox::content, 1);
  EXPECT_EQ(simulation.box(TestBox::content).text, "b");
  simulation.remove_selected(TestBox::content);
  EXPECT_EQ(simulation.box(TestBox::content).items, (std::vector<std::string>{"a", "c"}));
  EXPECT_EQ(simulation.box(TestBox::content).selected, -1);
  simulation.remove_selected(TestBox::content);
  EXPECT_EQ(simulation.box(TestBox::content).items.size(), 2u);
}

TEST(SliderPeriod, FollowsThePosition) {
  EXPECT_EQ(slider_period_ms(0), 0);
  EXPECT_EQ(slider_period_ms(2000), 300);
  EXPECT_EQ(slider_period_ms(1000), 1300);
  EXPECT_EQ(slider_period_ms(1), 2299);
  EXPECT_EQ(slider_period_ms(5000), 300);  // beyond the end: the end
  EXPECT_EQ(slider_period_ms(-3), 0);
  EXPECT_EQ(slider_period_ms(50, 100), 350);
}

TEST_F(SimulationTest, TickPicksAViewerAndAComment) {
  for (const char* item : {"1-a", "2-b", "3-c"}) simulation.append_item(TestBox::uid, item);
  for (const char* item : {"x", "y"}) simulation.append_item(TestBox::content, item);
  next_pick = 2;
  simulation.tick();  // uid index 2, content index 0
  std::string list = taken();
  EXPECT_NE(list.find("\"uid\":3,\"name\":\"c\",\"type\":1,\"instruct\":\"x\""), std::string::npos)
      << list;
  EXPECT_EQ(simulation.box(TestBox::uid).selected, 2);
  EXPECT_EQ(simulation.box(TestBox::content).text, "x");
  EXPECT_EQ(simulation.box(TestBox::uid).items.size(), 3u);  // already known: not added
}

TEST_F(SimulationTest, TickWithNoViewersShowsTheFormatMessage) {
  simulation.append_item(TestBox::content, "x");
  simulation.tick();
  simulation.tick();
  EXPECT_EQ(messages.messages().size(), 2u);
  EXPECT_EQ(taken(), "{}");
}

TEST(SimulationRandom, DefaultPickStaysInRange) {
  panel::PanelModel panel;
  panel.set_checked(Control::选择框_http, true);
  EventRelay relay(panel, "/nonexistent-folder/data.json");
  Simulation simulation(relay);
  simulation.append_item(TestBox::uid, "1-a");
  simulation.append_item(TestBox::uid, "2-b");
  simulation.append_item(TestBox::content, "x");
  for (int i = 0; i < 200; ++i) simulation.tick();
  EXPECT_EQ(relay.polling_count(), 200u);
  EXPECT_EQ(simulation.box(TestBox::uid).items.size(), 2u);
}

TEST_F(SimulationTest, ListsSaveAndLoadBack) {
  for (const char* item : {"1-a", "2-小明", "3-c"}) simulation.append_item(TestBox::uid, item);
  simulation.append_item(TestBox::gif, "100");
  ASSERT_TRUE(simulation.save_test_lists(dir.path()));
  EXPECT_EQ(read_whole_file(dir.file("uid.txt")), "1-a\r\n2-小明\r\n3-c\r\n");
  EXPECT_EQ(read_whole_file(dir.file("content.txt")), "");
  EXPECT_EQ(read_whole_file(dir.file("gif.txt")), "100\r\n");

  Simulation loaded(relay);
  loaded.load_test_lists(dir.path());
  EXPECT_EQ(loaded.box(TestBox::uid).items, simulation.box(TestBox::uid).items);
  EXPECT_TRUE(loaded.box(TestBox::content).items.empty());
  EXPECT_EQ(loaded.box(TestBox::gif).items, std::vector<std::string>{"100"});
}

TEST_F(SimulationTest, LoadKeepsEmptyLinesButNoTrailingItem) {
  ASSERT_TRUE(replace_file(dir.file("content.txt"), "a\r\n\r\nb"));
  ASSERT_TRUE(replace_file(dir.file("uid.txt"), "1-a\r\n2-b\r\n"));
  ASSERT_TRUE(replace_file(dir.file("gif.txt"), "5\n6"));  // a bare LF is no line end
  simulation.load_test_lists(dir.path());
  EXPECT_EQ(simulation.box(TestBox::content).items, (std::vector<std::string>{"a", "", "b"}));
  EXPECT_EQ(simulation.box(TestBox::uid).items, (std::vector<std::string>{"1-a", "2-b"}));
  EXPECT_EQ(simulation.box(TestBox::gif).items, std::vector<std::string>{"5\n6"});

  Simulation nothing(relay);
  nothing.load_test_lists(dir.file("missing"));
  EXPECT_TRUE(nothing.box(TestBox::uid).items.empty());
  EXPECT_FALSE(nothing.save_test_lists(dir.file("missing")));
}

TEST_F(SimulationTest, ObserverIsToldWhichBoxChanged) {
  std::vector<TestBox> changed;
  simulation.set_observer([&](TestBox which) {
    // The observer may read the model it observes.
    (void)simulation.box(which);
    changed.push_back(which);
  });
  simulation.set_box_text(TestBox::uid, "1-a");
  simulation.set_box_text(TestBox::content, "x");
  changed.clear();
  simulation.send_danmaku();
  EXPECT_EQ(changed, (std::vector<TestBox>{TestBox::uid, TestBox::content}));
}

// Waits (up to a generous bound) until the condition holds.
template <typename Condition>
bool eventually(Condition condition) {
  for (int i = 0; i < 1000; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

TEST(SimulationTimer, TicksWhileRunningAndStopsOnZero) {
  std::atomic<int> ticks{0};
  SimulationTimer timer([&] { ++ticks; });
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(ticks.load(), 0);  // stopped at start
  timer.set_period(2);
  EXPECT_EQ(timer.period_ms(), 2);
  EXPECT_TRUE(eventually([&] { return ticks.load() >= 3; }));
  timer.stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a tick in flight ends
  int stopped_at = ticks.load();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(ticks.load(), stopped_at);
  timer.start(1);
  EXPECT_TRUE(eventually([&] { return ticks.load() > stopped_at; }));
  // Destroyed while running: joins.
}

TEST(SimulationTimer, DrivesTheSimulation) {
  panel::PanelModel panel;
  panel.set_checked(Control::选择框_http, true);
  EventRelay relay(panel, "/nonexistent-folder/data.json");
  Simulation simulation(relay);
  simulation.append_item(TestBox::uid, "1-a");
  simulation.append_item(TestBox::content, "x");
  {
    SimulationTimer timer(simulation);
    timer.set_period(1);
    EXPECT_TRUE(eventually([&] { return relay.polling_count() >= 3; }));
  }
  std::size_t after = relay.polling_count();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(relay.polling_count(), after);
}

}  // namespace
}  // namespace lumora::relay
