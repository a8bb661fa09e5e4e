// Figures for the event WebSocket path (a program that prints, not a test):
//  1. events built and delivered per second with one Node `ws` consumer on
//     127.0.0.1, beside a Node `ws` server pushing the same event text to the
//     same kind of consumer (and the ratio);
//  2. latency from the builder call to the consumer's receipt at a steady
//     2,000 events/s (p50, p99);
//  3. resident memory before and after 1,000,000 events.
// Run from the build tree: bench/bench_relay_throughput [events]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/node_peer.h"
#include "panel/panel_model.h"
#include "relay/event_relay.h"
#include "relay/event_ws_server.h"
#include "relay/split_command.h"
#include "text/gbk.h"
#include "text/literal.h"

namespace {

using namespace std::chrono_literals;
using namespace lumora::text::literals;
using Clock = std::chrono::steady_clock;

long vm_rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// Waits for a stdout line of the peer starting with prefix.
std::string wait_line(const lumora::test::NodePeer& peer, const std::string& prefix,
                      std::chrono::milliseconds timeout = 120s) {
  const auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    for (const auto& line : peer.lines()) {
      if (line.rfind(prefix, 0) == 0) return line;
    }
    std::this_thread::sleep_for(2ms);
  }
  return {};
}

// "done N FIRST LAST" -> messages per second between first and last receipt.
double consumer_rate(const std::string& done_line) {
  unsigned long long n = 0, first = 0, last = 0;
  if (std::sscanf(done_line.c_str(), "done %llu %llu %llu", &n, &first, &last) != 3 ||
      last <= first) {
    return 0;
  }
  return static_cast<double>(n - 1) * 1e9 / static_cast<double>(last - first);
}

struct Setup {
  lumora::panel::PanelModel panel;
  lumora::relay::EventWsServer server{[] {
    lumora::relay::EventWsServerOptions o;
    o.bind_address = "127.0.0.1";
    o.port = 0;
    return o;
  }()};
  lumora::relay::EventRelay relay{panel, "/nonexistent-folder/data.json", &server};
  std::string name = "观众小明"_gbk;
  std::string comment = "攻击-左边-三次"_gbk;

  std::string url() const { return "ws://127.0.0.1:" + std::to_string(server.port()) + "/"; }

  bool wait_client() {
    const auto deadline = Clock::now() + 10s;
    while (!server.has_last_client() && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return server.has_last_client();
  }

  // Keeps the per-client queue well under its bound so nothing is dropped
  // while the consumer catches up.
  void build(int i) {
    while (server.queued_bytes() > 1024 * 1024) std::this_thread::yield();
    relay.build_danmaku_event(std::to_string(100000000 + i), name, comment);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int events = argc > 1 ? std::atoi(argv[1]) : 200000;
  const std::string node_dir = LUMORA_NODE_DIR;

  // ---- 1. throughput ----
  double ours = 0;
  double ours_producer = 0;
  std::string sample_text;
  {
    Setup s;
    if (!s.server.start()) {
      std::fprintf(stderr, "server: %s\n", s.server.error_text().c_str());
      return 1;
    }
    lumora::test::NodePeer consumer(node_dir + "/ws_counter.js", {s.url(), std::to_string(events)});
    if (!consumer.ok() || !s.wait_client()) {
      std::fprintf(stderr, "consumer: %s\n", consumer.error().c_str());
      return 1;
    }
    const auto start = Clock::now();
    for (int i = 0; i < events; ++i) s.build(i);
    const auto produced = Clock::now();
    std::string done = wait_line(consumer, "done ");
    const auto received = Clock::now();
    ours = consumer_rate(done);
    ours_producer = events / std::chrono::duration<double>(produced - start).count();
    std::printf(
        "lumora: %d events built+delivered in %.1f ms (%.0f/s end to end), consumer saw "
        "%.0f msg/s, dropped %llu\n",
        events, std::chrono::duration<double, std::milli>(received - start).count(),
        events / std::chrono::duration<double>(received - start).count(), ours,
        static_cast<unsigned long long>(s.server.dropped_messages()));
    // The text a consumer gets for one of these events, for the reference.
    lumora::relay::SplitCommand split =
        lumora::relay::split_command(s.comment, lumora::relay::read_split_settings(s.panel));
    sample_text = lumora::text::gbk_to_utf8(
        lumora::relay::make_danmaku_record("100000000", s.name, split, s.comment).ToText());
  }
  double node = 0;
  {
    lumora::test::NodePeer server(node_dir + "/ws_push_server.js",
                                  {std::to_string(events), sample_text});
    if (!server.ok()) {
      std::fprintf(stderr, "node server: %s\n", server.error().c_str());
      return 1;
    }
    lumora::test::NodePeer consumer(
        node_dir + "/ws_counter.js",
        {"ws://127.0.0.1:" + std::to_string(server.port()) + "/", std::to_string(events)});
    std::string done = wait_line(consumer, "done ");
    node = consumer_rate(done);
    std::printf("node ws server: %d pushes of the same text, consumer saw %.0f msg/s (%s)\n",
                events, node, wait_line(server, "sent ", 5s).c_str());
  }
  std::printf(
      "throughput ratio lumora / node ws: %.2f (lumora producer side alone %.0f events/s)\n",
      node > 0 ? ours / node : 0.0, ours_producer);

  // ---- 2. latency at 2,000 events/s ----
  {
    const int count = 10000;  // five seconds
    Setup s;
    s.server.start();
    lumora::test::NodePeer consumer(node_dir + "/ws_counter.js",
                                    {s.url(), std::to_string(count), "times"});
    if (!consumer.ok() || !s.wait_client()) return 1;
    std::vector<long long> sent_ns(count);
    const auto start = Clock::now();
    for (int i = 0; i < count; ++i) {
      std::this_thread::sleep_until(start + std::chrono::microseconds(500) * i);
      sent_ns[i] =
          std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
              .count();
      s.build(i);
    }
    wait_line(consumer, "done ");
    std::vector<double> latency_us;
    for (const auto& line : consumer.lines()) {
      long long t = 0;
      if (std::sscanf(line.c_str(), "t %lld", &t) == 1 && latency_us.size() < sent_ns.size()) {
        latency_us.push_back((t - sent_ns[latency_us.size()]) / 1000.0);
      }
    }
    std::sort(latency_us.begin(), latency_us.end());
    if (!latency_us.empty()) {
      auto at = [&](double q) {
        return latency_us[static_cast<size_t>(q * (latency_us.size() - 1))];
      };
      std::printf(
          "latency builder call -> consumer receipt at 2000 events/s (%zu events): p50 %.0f us, "
          "p99 %.0f us, max %.0f us\n",
          latency_us.size(), at(0.50), at(0.99), latency_us.back());
    }
  }

  // ---- 3. memory over 1,000,000 events ----
  {
    const int count = 1000000;
    Setup s;
    s.server.start();
    lumora::test::NodePeer consumer(node_dir + "/ws_counter.js", {s.url(), std::to_string(count)});
    if (!consumer.ok() || !s.wait_client()) return 1;
    for (int i = 0; i < 10000; ++i) s.build(i);  // warm up the allocators
    const long before = vm_rss_kib();
    for (int i = 0; i < count - 10000; ++i) s.build(i);
    wait_line(consumer, "done ", 300s);
    const long after = vm_rss_kib();
    std::printf(
        "VmRSS before %ld KiB, after 1,000,000 events %ld KiB (%+ld KiB); queue high water "
        "%zu bytes, dropped %llu\n",
        before, after, after - before, s.server.queued_bytes_high_water(),
        static_cast<unsigned long long>(s.server.dropped_messages()));
  }
  return 0;
}
