// Events per second through the builders and delivery: the log line, the
// split, the record, the polling list and a push with a client connected.
#include <benchmark/benchmark.h>

#include <string>

#include "panel/panel_model.h"
#include "relay/event_push.h"
#include "relay/event_relay.h"
#include "text/literal.h"

namespace {

using namespace lumora::text::literals;
using lumora::panel::Control;

class CountingPush : public lumora::relay::EventPush {
 public:
  void push_to_last_client(std::string utf8_text) override { bytes += utf8_text.size(); }
  bool has_last_client() const override { return true; }
  std::size_t bytes = 0;
};

void BM_DanmakuAsciiAllPaths(benchmark::State& state) {
  lumora::panel::PanelModel panel;
  panel.set_checked(Control::选择框_http, true);
  CountingPush push;
  lumora::relay::EventRelay relay(panel, "/nonexistent-folder/data.json", &push);
  int n = 0;
  for (auto _ : state) {
    relay.build_danmaku_event("123456789", "viewer_name", "attack-left-3");
    if (++n == 10000) {  // a poller empties the list now and then
      benchmark::DoNotOptimize(relay.take_polling_list(true));
      n = 0;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DanmakuAsciiAllPaths);

void BM_DanmakuCjkAllPaths(benchmark::State& state) {
  lumora::panel::PanelModel panel;
  panel.set_checked(Control::选择框_http, true);
  CountingPush push;
  lumora::relay::EventRelay relay(panel, "/nonexistent-folder/data.json", &push);
  const std::string name = "观众小明"_gbk;
  const std::string comment = "攻击-左边-三次"_gbk;
  int n = 0;
  for (auto _ : state) {
    relay.build_danmaku_event("123456789", name, comment);
    if (++n == 10000) {
      benchmark::DoNotOptimize(relay.take_polling_list(true));
      n = 0;
    }
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DanmakuCjkAllPaths);

void BM_GiftPushOnly(benchmark::State& state) {
  lumora::panel::PanelModel panel;
  CountingPush push;
  lumora::relay::EventRelay relay(panel, "/nonexistent-folder/data.json", &push);
  for (auto _ : state) relay.build_gift_event("123456789", "viewer", 31036, "gift", 1, 100);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_GiftPushOnly);

}  // namespace

BENCHMARK_MAIN();
