#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "panel/console_printer.h"
#include "panel/panel_model.h"
#include "text/literal.h"

namespace lumora::panel {
namespace {

using namespace lumora::text::literals;

TEST(PanelModel, StartsAsAFreshWindow) {
  PanelModel panel;
  EXPECT_TRUE(panel.checked(Control::选择框_wss));
  EXPECT_FALSE(panel.checked(Control::选择框_http));
  EXPECT_FALSE(panel.checked(Control::选择框_文件系统));
  EXPECT_TRUE(panel.checked(Control::单选框_UTF8));
  EXPECT_FALSE(panel.checked(Control::单选框_GBK));
  EXPECT_EQ(panel.split_mode(), SplitMode::separator);
  EXPECT_EQ(panel.text(Control::编辑框_截取字符), "1");
  EXPECT_EQ(panel.text(Control::编辑框_分割字符), "-");
  EXPECT_EQ(panel.text(Control::按钮_客户端_连接), "连接直播间①"_gbk);
  EXPECT_EQ(control_name(Control::选择框_文件系统), "选择框_文件系统");
}

TEST(PanelModel, RadioButtonsOfAGroupExcludeEachOther) {
  PanelModel panel;
  panel.set_checked(Control::单选框_GBK, true);
  EXPECT_FALSE(panel.checked(Control::单选框_UTF8));
  panel.set_checked(Control::单选框_弹幕截取, true);
  EXPECT_EQ(panel.split_mode(), SplitMode::first_bytes);
  EXPECT_FALSE(panel.checked(Control::单选框_弹幕分割));
  // The other group is not touched.
  EXPECT_TRUE(panel.checked(Control::单选框_GBK));
  panel.set_checked(Control::单选框_弹幕截取, false);
  EXPECT_EQ(panel.split_mode(), SplitMode::none);
  // Check boxes are independent.
  panel.set_checked(Control::选择框_http, true);
  EXPECT_TRUE(panel.checked(Control::选择框_wss));
}

TEST(PanelModel, ObserversSeeEachChangeOnceAndCanLeave) {
  PanelModel panel;
  std::vector<PanelChange> seen;
  auto id = panel.add_observer([&](const PanelChange& change) { seen.push_back(change); });
  panel.set_caption(Control::标签_WSS, "WS正常启动 8080"_gbk, kStatusGreen);
  panel.set_caption(Control::标签_WSS, "WS正常启动 8080"_gbk, kStatusGreen);  // no change, no call
  panel.set_checked(Control::单选框_GBK, true);                               // two controls change
  panel.append_log("line");
  panel.show_message("text", "caption");
  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].kind, PanelChange::Kind::state);
  EXPECT_EQ(seen[0].control, Control::标签_WSS);
  EXPECT_EQ(seen[0].text, "WS正常启动 8080"_gbk);
  EXPECT_EQ(panel.colour(Control::标签_WSS), kStatusGreen);
  EXPECT_EQ(seen[1].control, Control::单选框_GBK);
  EXPECT_EQ(seen[2].control, Control::单选框_UTF8);
  EXPECT_EQ(seen[3].kind, PanelChange::Kind::log_line);
  EXPECT_EQ(seen[3].text, "line");
  EXPECT_EQ(seen[4].kind, PanelChange::Kind::message_box);
  EXPECT_EQ(seen[4].caption, "caption");
  panel.remove_observer(id);
  panel.append_log("unseen");
  EXPECT_EQ(seen.size(), 5u);
}

TEST(PanelModel, KeepsOnlyTheNewestLogLines) {
  PanelModel panel;
  for (std::size_t i = 0; i < PanelModel::kRecentLogLines + 10; ++i)
    panel.append_log(std::to_string(i));
  auto lines = panel.recent_log();
  ASSERT_EQ(lines.size(), PanelModel::kRecentLogLines);
  EXPECT_EQ(lines.front(), "10");
  EXPECT_EQ(lines.back(), std::to_string(PanelModel::kRecentLogLines + 9));
}

TEST(PanelModel, QuitWakesTheWaiterOnceWithTheFirstCode) {
  PanelModel panel;
  std::atomic<int> quits{0};
  panel.add_observer([&](const PanelChange& change) {
    if (change.kind == PanelChange::Kind::quit) ++quits;
  });
  std::thread waiter([&] { EXPECT_EQ(panel.wait_for_quit(), 3); });
  panel.request_quit(3);
  panel.request_quit(5);
  waiter.join();
  EXPECT_TRUE(panel.quit_requested());
  EXPECT_EQ(panel.exit_code(), 3);
  EXPECT_EQ(quits.load(), 1);
}

TEST(PanelModel, SafeUnderConcurrentWritersAndObserverChurn) {
  PanelModel panel;
  std::atomic<long> lines{0};
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    while (!stop) {
      auto id = panel.add_observer([&](const PanelChange&) {});
      panel.remove_observer(id);
    }
  });
  panel.add_observer([&](const PanelChange& change) {
    if (change.kind == PanelChange::Kind::log_line) ++lines;
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        panel.append_log("x");
        panel.set_checked(t % 2 ? Control::单选框_GBK : Control::单选框_UTF8, true);
        panel.set_text(Control::编辑框_分割字符, std::to_string(i));
      }
    });
  }
  for (auto& w : writers) w.join();
  stop = true;
  churn.join();
  EXPECT_EQ(lines.load(), 8000);
  // Exactly one radio of the group stays selected.
  EXPECT_NE(panel.checked(Control::单选框_GBK), panel.checked(Control::单选框_UTF8));
}

TEST(ConsolePrinter, PrintsLogStatusAndMessagesAsUtf8Lines) {
  PanelModel panel;
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  attach_console_printer(panel, out);
  panel.append_log("【礼物】123甲"_gbk);
  panel.set_caption(Control::标签_WSS, "WS正常启动 8080"_gbk, kStatusGreen);
  panel.set_checked(Control::选择框_http, true);  // a switch: not printed
  panel.show_message("连接直播间失败！"_gbk, "错误"_gbk);
  panel.request_quit(0);
  std::rewind(out);
  std::string printed;
  char buffer[256];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, out)) printed.append(buffer, n);
  std::fclose(out);
  EXPECT_EQ(printed, "【礼物】123甲\n标签_WSS: WS正常启动 8080\n[错误] 连接直播间失败！\n");
}

}  // namespace
}  // namespace lumora::panel
