// Figures for the event WebSocket path (a program that prints, not a test):
//  1. events built and delivered per second with one WebSocket consumer on
//     127.0.0.1, beside a Node `ws` server pushing the same event text to the
//     same consumer (and the ratio). The main consumer is a raw-socket C++
//     reader in this process (its own handshake and frame parser, one large
//     read buffer), fast enough that the servers, not the consumer, set the
//     pace; a second row repeats the comparison with a Node `ws` consumer;
//  2. latency from the builder call to the consumer's receipt at a steady
//     2,000 events/s (p50, p99, max);
//  3. resident memory before and after 1,000,000 events.
// Each throughput and latency figure is the median of several runs.
// Run from the build tree: bench/bench_relay_throughput [events] [runs]
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
#include "support/figures.h"
#include "support/ws_fast_consumer.h"
#include "text/gbk.h"
#include "text/literal.h"

namespace {

using lumora::bench::load_average;
using lumora::bench::median;

using namespace std::chrono_literals;
using namespace lumora::text::literals;
using Clock = std::chrono::steady_clock;
using lumora::bench::FastConsumer;

long long now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

long vm_rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

std::string join(const std::vector<double>& v, const char* format) {
  std::string out;
  char buf[64];
  for (double x : v) {
    std::snprintf(buf, sizeof buf, format, x);
    if (!out.empty()) out += ' ';
    out += buf;
  }
  return out;
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

  Setup() { server.start(); }

  std::string url() const { return "ws://127.0.0.1:" + std::to_string(server.port()) + "/"; }

  bool wait_client() {
    const auto deadline = Clock::now() + 10s;
    while (!server.has_last_client() && Clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return server.has_last_client();
  }

  // Keeps the per-client queue well under its bound so nothing is dropped
  // while the consumer catches up (the Node server keeps its own send buffer
  // under 4 MiB the same way).
  void build(int i) {
    while (server.queued_bytes() > 1024 * 1024) std::this_thread::yield();
    relay.build_danmaku_event(std::to_string(100000000 + i), name, comment);
  }

  // The text a consumer gets for these events (uids all have nine digits, so
  // every event's text has this size).
  std::string sample_text() {
    lumora::relay::SplitCommand split =
        lumora::relay::split_command(comment, lumora::relay::read_split_settings(panel));
    return lumora::text::gbk_to_utf8(
        lumora::relay::make_danmaku_record("100000000", name, split, comment).ToText());
  }
};

struct Run {
  double consumer_rate = 0;  // msg/s as the consumer saw them
  double producer_rate = 0;  // events/s the builders took (ours only)
  long wrong = 0;            // messages of an unexpected size, or missing
};

Run run_ours_fast(int events, std::size_t text_size) {
  Setup s;
  FastConsumer consumer(s.server.port(), events, text_size, false);
  if (!consumer.ok() || !s.wait_client()) {
    std::fprintf(stderr, "consumer: %s\n", consumer.error().c_str());
    return {};
  }
  const auto start = Clock::now();
  for (int i = 0; i < events; ++i) s.build(i);
  const auto produced = Clock::now();
  consumer.wait_done(120s);
  return {consumer.rate(), events / std::chrono::duration<double>(produced - start).count(),
          consumer.wrong_size() + (events - consumer.count()) +
              static_cast<long>(s.server.dropped_messages())};
}

Run run_node_fast(int events, const std::string& text) {
  lumora::test::NodePeer server(LUMORA_NODE_DIR "/ws_push_server.js",
                                {std::to_string(events), text});
  if (!server.ok()) {
    std::fprintf(stderr, "node server: %s\n", server.error().c_str());
    return {};
  }
  FastConsumer consumer(server.port(), events, text.size(), false);
  if (!consumer.ok()) {
    std::fprintf(stderr, "consumer: %s\n", consumer.error().c_str());
    return {};
  }
  consumer.wait_done(120s);
  return {consumer.rate(), 0, consumer.wrong_size() + (events - consumer.count())};
}

Run run_ours_node_consumer(int events) {
  Setup s;
  lumora::test::NodePeer consumer(LUMORA_NODE_DIR "/ws_counter.js",
                                  {s.url(), std::to_string(events)});
  if (!consumer.ok() || !s.wait_client()) return {};
  for (int i = 0; i < events; ++i) s.build(i);
  return {consumer_rate(wait_line(consumer, "done ")), 0, 0};
}

Run run_node_node_consumer(int events, const std::string& text) {
  lumora::test::NodePeer server(LUMORA_NODE_DIR "/ws_push_server.js",
                                {std::to_string(events), text});
  if (!server.ok()) return {};
  lumora::test::NodePeer consumer(
      LUMORA_NODE_DIR "/ws_counter.js",
      {"ws://127.0.0.1:" + std::to_string(server.port()) + "/", std::to_string(events)});
  return {consumer_rate(wait_line(consumer, "done ")), 0, 0};
}

struct Latency {
  double p50 = 0, p99 = 0, max = 0;
  std::size_t count = 0;
};

Latency run_latency(int count, std::size_t text_size) {
  Setup s;
  FastConsumer consumer(s.server.port(), count, text_size, true);
  if (!consumer.ok() || !s.wait_client()) return {};
  std::vector<long long> sent_ns(count);
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_until(start + std::chrono::microseconds(500) * i);
    sent_ns[i] = now_ns();
    s.build(i);
  }
  consumer.wait_done(30s);
  std::vector<double> latency_us;
  const auto& got = consumer.times_ns();
  for (std::size_t i = 0; i < got.size() && i < sent_ns.size(); ++i) {
    latency_us.push_back((got[i] - sent_ns[i]) / 1000.0);
  }
  std::sort(latency_us.begin(), latency_us.end());
  if (latency_us.empty()) return {};
  auto at = [&](double q) { return latency_us[static_cast<size_t>(q * (latency_us.size() - 1))]; };
  return {at(0.50), at(0.99), latency_us.back(), latency_us.size()};
}

// The same with the Node `ws` counting consumer (its own receipt times).
Latency run_latency_node_consumer(int count) {
  Setup s;
  lumora::test::NodePeer consumer(LUMORA_NODE_DIR "/ws_counter.js",
                                  {s.url(), std::to_string(count), "times"});
  if (!consumer.ok() || !s.wait_client()) return {};
  std::vector<long long> sent_ns(count);
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    std::this_thread::sleep_until(start + std::chrono::microseconds(500) * i);
    sent_ns[i] = now_ns();
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
  if (latency_us.empty()) return {};
  auto at = [&](double q) { return latency_us[static_cast<size_t>(q * (latency_us.size() - 1))]; };
  return {at(0.50), at(0.99), latency_us.back(), latency_us.size()};
}

}  // namespace

int main(int argc, char** argv) {
  const int events = argc > 1 ? std::atoi(argv[1]) : 200000;
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  std::string sample_text;
  {
    Setup s;
    sample_text = s.sample_text();
  }
  std::printf("load average at start: %s (cores: %u)\n", load_average().c_str(),
              std::thread::hardware_concurrency());
  std::printf("event text (%zu bytes): %s\n", sample_text.size(), sample_text.c_str());

  // ---- 1. throughput, fast consumer; runs alternate between the servers ----
  std::vector<double> ours, node, producer, ratio;
  long wrong = 0;
  for (int r = 0; r < runs; ++r) {
    Run a = run_ours_fast(events, sample_text.size());
    Run b = run_node_fast(events, sample_text);
    ours.push_back(a.consumer_rate);
    producer.push_back(a.producer_rate);
    node.push_back(b.consumer_rate);
    ratio.push_back(b.consumer_rate > 0 ? a.consumer_rate / b.consumer_rate : 0);
    wrong += a.wrong + b.wrong;
  }
  std::printf("throughput, C++ raw-socket consumer, %d events per run, %d runs\n", events, runs);
  std::printf("  lumora (built+delivered) msg/s: median %.0f  [%s]\n", median(ours),
              join(ours, "%.0f").c_str());
  std::printf("  node ws server           msg/s: median %.0f  [%s]\n", median(node),
              join(node, "%.0f").c_str());
  std::printf("  ratio lumora / node ws:         median %.2f  [%s]\n", median(ratio),
              join(ratio, "%.2f").c_str());
  std::printf(
      "  lumora builder side alone events/s: median %.0f; missing/wrong-size/dropped: %ld\n",
      median(producer), wrong);

  // ---- 1b. the same with a Node `ws` consumer (one run each) ----
  {
    Run a = run_ours_node_consumer(events);
    Run b = run_node_node_consumer(events, sample_text);
    std::printf(
        "throughput, Node ws consumer (1 run): lumora %.0f msg/s, node ws %.0f msg/s, "
        "ratio %.2f\n",
        a.consumer_rate, b.consumer_rate,
        b.consumer_rate > 0 ? a.consumer_rate / b.consumer_rate : 0.0);
  }

  // ---- 2. latency at 2,000 events/s ----
  {
    const int count = 10000;  // five seconds
    const int latency_runs = std::min(runs, 3);
    std::vector<double> p50, p99, max;
    for (int r = 0; r < latency_runs; ++r) {
      Latency l = run_latency(count, sample_text.size());
      p50.push_back(l.p50);
      p99.push_back(l.p99);
      max.push_back(l.max);
    }
    std::printf(
        "latency builder call -> consumer receipt at 2000 events/s, %d events x %d runs:\n"
        "  p50 %.0f us [%s]  p99 %.0f us [%s]  max %.0f us [%s]\n",
        count, latency_runs, median(p50), join(p50, "%.0f").c_str(), median(p99),
        join(p99, "%.0f").c_str(), median(max), join(max, "%.0f").c_str());
    Latency node_consumer = run_latency_node_consumer(count);
    std::printf("  with the Node ws consumer (1 run): p50 %.0f us, p99 %.0f us, max %.0f us\n",
                node_consumer.p50, node_consumer.p99, node_consumer.max);
  }

  // ---- 3. memory over 1,000,000 events ----
  {
    const int count = 1000000;
    Setup s;
    FastConsumer consumer(s.server.port(), count, sample_text.size(), false);
    if (!consumer.ok() || !s.wait_client()) return 1;
    for (int i = 0; i < 10000; ++i) s.build(i);  // warm up the allocators
    const long before = vm_rss_kib();
    std::string series;
    for (int i = 0; i < count - 10000; ++i) {
      s.build(i);
      if ((i + 10000) % 100000 == 0) series += " " + std::to_string(vm_rss_kib());
    }
    consumer.wait_done(300s);
    const long after = vm_rss_kib();
    std::printf("VmRSS KiB every 100,000 events:%s\n", series.c_str());
    std::printf(
        "VmRSS before %ld KiB, after 1,000,000 events %ld KiB (%+ld KiB); received %ld; queue "
        "high water %zu bytes, dropped %llu\n",
        before, after, after - before, consumer.count(), s.server.queued_bytes_high_water(),
        static_cast<unsigned long long>(s.server.dropped_messages()));
  }
  std::printf("load average at end: %s\n", load_average().c_str());
  return 0;
}
