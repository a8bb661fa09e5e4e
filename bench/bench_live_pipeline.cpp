// The live pipeline, measured: received frames (zlib batches of DANMU_MSG and
// SEND_GIFT messages shaped like the platform's) -> PacketDecoder::unpack ->
// LiveMessageDispatcher -> EventRelay's builders -> deliver_event -> the
// event WebSocket server -> one consumer on 127.0.0.1. The main consumer is a
// raw-socket C++ reader in this process (support/ws_fast_consumer.h), fast
// enough that the pipeline, not the consumer, sets the pace; the second rows
// repeat each figure with a Node `ws` consumer.
//
// Prints (throughput and latency as medians of several runs, the same frames
// and counts for every row; the load average at start and end):
//   1. events per second end to end (first frame handed to the decoder until
//      the consumer's receipt of the last event), and the pipeline's own rate
//      (until the last event is queued for the consumer);
//   2. frame-arrival-to-consumer latency (p50, p99, max) with frames paced at
//      2,000 events per second (arrival: the frame handed to the decoder;
//      receipt: the consumer's steady clock, in process for the C++ one);
//   3. decode rate (unpack + dispatch into a counting sink) against the npm
//      decoder bilibili-live-ws on the same bytes, timed inside Node.
// A program, not a test: it prints figures and checks no goal.
// Run from the build tree: bench/bench_live_pipeline [runs]
#include <sys/resource.h>
#include <zlib.h>

#include <ctime>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "json/jmap.h"
#include "live/live_dispatch.h"
#include "live/packet_codec.h"
#include "panel/panel_model.h"
#include "relay/event_relay.h"
#include "relay/event_ws_server.h"
#include "support/figures.h"
#include "support/node_peer.h"
#include "support/ws_fast_consumer.h"

namespace {

using lumora::bench::load_average;
using lumora::bench::median;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using lumora::bench::FastConsumer;
using lumora::json::JMap;

constexpr int kMessagesPerFrame = 10;  // 7 comments, 3 gifts

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// Shapes of real messages: the captured samples when the test data is there,
// otherwise trimmed copies of them written here.
std::string danmaku_template() {
  auto path =
      std::filesystem::path(LUMORA_TESTDATA_DIR) / "bilibili/messages/DANMU_MSG.bac-doc.json";
  if (std::filesystem::exists(path)) return read_file(path);
  return R"({"cmd":"DANMU_MSG","info":[[0,1,25,16777215,1724000000000,1724000000,0,"4ac8f1b2",0,0,0,"",0,"{}","{}",{"mode":0,"show_player_type":0,"extra":"{\"send_from_me\":false,\"mode\":0,\"color\":16777215,\"dm_type\":0,\"font_size\":25,\"player_mode\":1,\"show_player_type\":0,\"content\":\"白花300块[热]\",\"user_hash\":\"1253642674\",\"emoticon_unique\":\"\",\"bulge_display\":0,\"recommend_score\":0,\"main_state_dm_color\":\"\",\"objective_state_dm_color\":\"\",\"direction\":0,\"pk_direction\":0,\"quartet_direction\":0,\"anniversary_crowd\":0,\"yeah_space_type\":\"\",\"yeah_space_url\":\"\",\"jump_to_url\":\"\",\"space_type\":\"\",\"space_url\":\"\",\"animation\":{},\"emots\":null,\"is_audited\":false,\"id_str\":\"c2f5b9e0a1\",\"icon\":null,\"show_reply\":true,\"reply_mid\":0,\"reply_uname\":\"\",\"reply_uname_color\":\"\",\"reply_is_mystery\":false,\"hit_combo\":0}"},{"activity_identity":"","activity_source":0,"not_show":0},0],"白花300块[热]",[6088969,"tim1997",0,0,0,10000,1,""],[21,"粉丝牌","主播",7734200,1725515,"",0,1725515,1725515,5414290,0,1,17561885],[11,0,6406234,">50000",0],["",""],0,0,null,{"ts":1724000000,"ct":"E1A2B3C4"},0,0,null,null,0,105,[0]]})";
}

std::string gift_template() {
  auto path =
      std::filesystem::path(LUMORA_TESTDATA_DIR) / "bilibili/messages/SEND_GIFT.bac-doc.json";
  if (std::filesystem::exists(path)) return read_file(path);
  return R"({"cmd":"SEND_GIFT","data":{"action":"投喂","batch_combo_id":"batch:gift:combo_id:510149209:2920484:31036:1674717138.1491","batch_combo_send":null,"beatId":"","biz_source":"Live","blind_gift":null,"broadcast_id":0,"coin_type":"gold","combo_resources_id":1,"combo_send":null,"combo_stay_time":5,"combo_total_coin":100,"crit_prob":0,"demarcation":1,"discount_price":100,"dmscore":112,"draw":0,"effect":0,"effect_block":0,"face":"http://i0.hdslb.com/bfs/face/member/noface.jpg","face_effect_id":0,"face_effect_type":0,"float_sc_resource_id":0,"giftId":31036,"giftName":"小花花","giftType":0,"gold":0,"guard_level":0,"is_first":true,"is_join_receiver":false,"is_naming":false,"is_special_batch":0,"magnification":1,"medal_info":{"anchor_roomid":0,"anchor_uname":"","guard_level":0,"icon_id":0,"is_lighted":0,"medal_color":0,"medal_color_border":0,"medal_color_end":0,"medal_color_start":0,"medal_level":0,"medal_name":"","special":"","target_id":0},"name_color":"","num":1,"original_gift_name":"","price":100,"rcost":2318,"receive_user_info":{"uid":2920484,"uname":"主播"},"remain":0,"rnd":"1674717132111000001","send_master":null,"silver":0,"super":0,"super_batch_gift_num":1,"super_gift_num":1,"svga_block":0,"switch":true,"tag_image":"","tid":"1674717138120200001","timestamp":1674717138,"top_list":null,"total_coin":100,"uid":510149209,"uname":"12138额83121"}})";
}

// The message with its sender's uid set (the latency run finds its frame by it).
std::string with_uid(const std::string& message, bool danmaku, std::int32_t uid,
                     const std::string& comment) {
  JMap map;
  map.load(message);
  if (danmaku) {
    map.set_int("//info[3][1]", uid);
    map.set_text("//info[2]", comment);
  } else {
    map.set_int("//data.uid", uid);
  }
  return map.to_json();
}

void put32(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v >> 24);
  out += static_cast<char>(v >> 16);
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v);
}

std::string packet(const std::string& body, std::uint16_t version, std::uint32_t operation) {
  std::string out;
  put32(out, static_cast<std::uint32_t>(16 + body.size()));
  out += '\0';
  out += '\x10';
  out += static_cast<char>(version >> 8);
  out += static_cast<char>(version);
  put32(out, operation);
  put32(out, 0);
  return out + body;
}

std::string zlib_compress(const std::string& bytes) {
  uLongf size = compressBound(static_cast<uLong>(bytes.size()));
  std::string out(size, '\0');
  compress2(reinterpret_cast<Bytef*>(out.data()), &size,
            reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uLong>(bytes.size()), 6);
  out.resize(size);
  return out;
}

// Frame i holds the events with uids i * kMessagesPerFrame + 1 ... + kMessagesPerFrame.
std::vector<std::string> build_frames(int count, const std::string& danmaku,
                                      const std::string& gift) {
  const char* comments[] = {"上舰-1-2", "攻击-3", "哈哈哈哈", "666", "前进-北", "主播好", "买"};
  std::vector<std::string> frames;
  frames.reserve(static_cast<std::size_t>(count));
  for (int f = 0; f < count; ++f) {
    std::string batch;
    for (int m = 0; m < kMessagesPerFrame; ++m) {
      const std::int32_t uid = f * kMessagesPerFrame + m + 1;
      const bool is_danmaku = m % 10 < 7;
      batch += packet(with_uid(is_danmaku ? danmaku : gift, is_danmaku, uid, comments[m % 7]), 0,
                      lumora::live::OP_MESSAGE);
    }
    frames.push_back(
        packet(zlib_compress(batch), lumora::live::PROTOCOL_ZLIB, lumora::live::OP_MESSAGE));
  }
  return frames;
}

class CountingSink final : public lumora::live::LiveEventSink {
 public:
  void build_danmaku_event(std::string_view, std::string_view, std::string_view) override {
    ++events;
  }
  void build_gift_event(std::string_view, std::string_view, std::int32_t, std::string_view,
                        std::int32_t, std::int32_t) override {
    ++events;
  }
  void build_follow_event(std::string_view, std::string_view) override { ++events; }
  void build_enter_event(std::string_view, std::string_view) override { ++events; }
  void build_guard_event(std::string_view, std::string_view, std::string_view, std::int32_t,
                         std::int32_t) override {
    ++events;
  }
  std::uint64_t events = 0;
};

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::int64_t steady_ns(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

// The sender's uid of an event text ("uid":N); -1 when there is none.
std::int64_t event_uid(std::string_view text) {
  constexpr std::string_view key = "\"uid\":";
  std::size_t at = text.find(key);
  if (at == std::string_view::npos) return -1;
  std::int64_t uid = -1;
  const char* begin = text.data() + at + key.size();
  std::from_chars(begin, text.data() + text.size(), uid);
  return uid;
}

// One pipeline from the decoder to the event server, on its own panel.
struct Pipeline {
  explicit Pipeline(const std::string& data_path, lumora::relay::EventWsServerOptions options)
      : server(std::move(options)), relay(panel, data_path, &server) {}
  lumora::panel::PanelModel panel;  // 选择框_wss checked: the push path is on
  lumora::relay::EventWsServer server;
  lumora::relay::EventRelay relay;
  lumora::live::RelayEventSink sink{relay};
  lumora::live::LiveMessageDispatcher dispatcher{sink};
  lumora::live::PacketDecoder decoder;

  void feed(const std::string& frame) {
    dispatcher.begin_frame();
    decoder.unpack(frame, dispatcher);
  }
  bool wait_client() {
    for (int i = 0; i < 500 && !server.has_last_client(); ++i) std::this_thread::sleep_for(10ms);
    return server.has_last_client();
  }
};

lumora::relay::EventWsServerOptions server_options(bool roomy) {
  lumora::relay::EventWsServerOptions options;
  options.bind_address = "127.0.0.1";
  options.port = 0;
  if (roomy) {
    // Room for the whole run, so the measure is of the pipeline, not of drops.
    options.queue_max_messages = 1u << 22;
    options.queue_max_bytes = std::size_t{1} << 30;
  }
  return options;
}

struct Throughput {
  double pipeline = 0;    // events/s until the last event was queued
  double end_to_end = 0;  // events/s until the consumer's receipt of the last one
  long missing = 0;       // events the consumer did not get in time
  long out_of_order = 0;  // events whose uid was not the next one
  std::uint64_t dropped = 0;
  bool ok = false;
};

Throughput run_throughput_fast(const std::vector<std::string>& frames, const std::string& home) {
  Pipeline p(home + "/data.json", server_options(true));
  if (!p.server.start()) return {};
  const long total = static_cast<long>(frames.size()) * kMessagesPerFrame;
  // Events come in uid order 1, 2, ...; checked on the consumer thread.
  std::int64_t next_uid = 1;
  long out_of_order = 0;
  FastConsumer consumer(p.server.port(), total, 0, false, [&](std::string_view text, long long) {
    if (event_uid(text) != next_uid) ++out_of_order;
    ++next_uid;
  });
  if (!consumer.ok() || !p.wait_client()) {
    std::printf("fast consumer: %s\n", consumer.error().c_str());
    return {};
  }
  const auto start = Clock::now();
  for (const auto& frame : frames) p.feed(frame);
  const double pipeline_s = seconds_since(start);
  const bool done = consumer.wait_done(120s);
  Throughput t;
  t.pipeline = static_cast<double>(p.dispatcher.counters().events) / pipeline_s;
  t.end_to_end = done ? static_cast<double>(total) * 1e9 /
                            static_cast<double>(consumer.last_ns() - steady_ns(start))
                      : 0.0;
  t.missing = total - consumer.count();
  t.out_of_order = done ? out_of_order : 0;
  t.dropped = p.server.dropped_messages();
  t.ok = done;
  p.server.stop();
  return t;
}

// A Node consumer on the server, waited for until the server counts it as
// the newest client.
std::unique_ptr<lumora::test::NodePeer> attach_node_consumer(Pipeline& p, const std::string& mode,
                                                             std::size_t n) {
  auto peer = std::make_unique<lumora::test::NodePeer>(
      LUMORA_NODE_DIR "/live_bench_consumer.js",
      std::vector<std::string>{"ws://127.0.0.1:" + std::to_string(p.server.port()) + "/", mode,
                               std::to_string(n)});
  if (!peer->ok() || !p.wait_client()) return nullptr;
  return peer;
}

std::string wait_line(const lumora::test::NodePeer& peer, const std::string& prefix,
                      std::chrono::seconds timeout) {
  auto deadline = Clock::now() + timeout;
  while (Clock::now() < deadline) {
    for (const auto& line : peer.lines())
      if (line.starts_with(prefix)) return line;
    std::this_thread::sleep_for(5ms);
  }
  return {};
}

Throughput run_throughput_node(const std::vector<std::string>& frames, const std::string& home) {
  Pipeline p(home + "/data.json", server_options(true));
  if (!p.server.start()) return {};
  const long total = static_cast<long>(frames.size()) * kMessagesPerFrame;
  auto consumer = attach_node_consumer(p, "count", static_cast<std::size_t>(total));
  if (!consumer) return {};
  const auto start = Clock::now();
  for (const auto& frame : frames) p.feed(frame);
  const double pipeline_s = seconds_since(start);
  // "done N FIRST_NS LAST_NS", the Node side's monotonic clock (the steady one).
  const std::string done = wait_line(*consumer, "done", 120s);
  unsigned long long n = 0, first_ns = 0, last_ns = 0;
  Throughput t;
  t.pipeline = static_cast<double>(p.dispatcher.counters().events) / pipeline_s;
  if (std::sscanf(done.c_str(), "done %llu %llu %llu", &n, &first_ns, &last_ns) == 3) {
    t.end_to_end = static_cast<double>(total) * 1e9 /
                   static_cast<double>(static_cast<std::int64_t>(last_ns) - steady_ns(start));
    t.ok = true;
  }
  t.missing = total - static_cast<long>(n);
  t.dropped = p.server.dropped_messages();
  p.server.stop();
  return t;
}

struct Latency {
  double p50 = 0, p99 = 0, max = 0;
  std::size_t measured = 0;
  // The feeding thread's own CPU time per frame, beside the latency, tells
  // the pipeline's cost from time spent waiting for a core.
  double cpu_p50_us = 0, cpu_p99_us = 0;
  long involuntary_switches = 0;  // the whole process's, while feeding
};

double percentile(const std::vector<double>& sorted, double q) {
  if (sorted.empty()) return 0;
  return sorted[std::min(sorted.size() - 1,
                         static_cast<std::size_t>(q * static_cast<double>(sorted.size())))];
}

struct Paced {
  std::vector<std::int64_t> arrival_ns;
  std::vector<double> cpu_us;  // sorted
  long involuntary_switches = 0;
};

// Latencies from (uid, receipt) pairs and the frames' arrival times.
Latency summarize(const std::vector<std::pair<std::int64_t, std::int64_t>>& receipts,
                  const Paced& paced) {
  std::vector<double> us;
  for (const auto& [uid, received_ns] : receipts) {
    std::size_t frame = static_cast<std::size_t>((uid - 1) / kMessagesPerFrame);
    if (uid >= 1 && frame < paced.arrival_ns.size())
      us.push_back(static_cast<double>(received_ns - paced.arrival_ns[frame]) / 1000.0);
  }
  if (us.empty()) return {};
  std::sort(us.begin(), us.end());
  return {percentile(us, 0.50),
          percentile(us, 0.99),
          us.back(),
          us.size(),
          percentile(paced.cpu_us, 0.50),
          percentile(paced.cpu_us, 0.99),
          paced.involuntary_switches};
}

double thread_cpu_us() {
  timespec t{};
  ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1000.0;
}

long involuntary_switches() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nivcsw;
}

// Feeds the frames at 2,000 events per second.
Paced feed_paced(Pipeline& p, const std::vector<std::string>& frames) {
  Paced paced;
  paced.arrival_ns.resize(frames.size());
  paced.cpu_us.reserve(frames.size());
  const long switches_before = involuntary_switches();
  const auto period = std::chrono::microseconds(1000000 * kMessagesPerFrame / 2000);
  auto next = Clock::now();
  for (std::size_t f = 0; f < frames.size(); ++f) {
    std::this_thread::sleep_until(next);
    next += period;
    paced.arrival_ns[f] = steady_ns(Clock::now());
    const double cpu_before_us = thread_cpu_us();
    p.feed(frames[f]);
    paced.cpu_us.push_back(thread_cpu_us() - cpu_before_us);
  }
  paced.involuntary_switches = involuntary_switches() - switches_before;
  std::sort(paced.cpu_us.begin(), paced.cpu_us.end());
  return paced;
}

Latency run_latency_fast(const std::vector<std::string>& frames, const std::string& home) {
  Pipeline p(home + "/data.json", server_options(false));
  if (!p.server.start()) return {};
  const long total = static_cast<long>(frames.size()) * kMessagesPerFrame;
  std::vector<std::pair<std::int64_t, std::int64_t>> receipts;
  receipts.reserve(static_cast<std::size_t>(total));
  FastConsumer consumer(p.server.port(), total, 0, false,
                        [&](std::string_view text, long long received_ns) {
                          receipts.emplace_back(event_uid(text), received_ns);
                        });
  if (!consumer.ok() || !p.wait_client()) return {};
  const Paced paced = feed_paced(p, frames);
  if (!consumer.wait_done(60s)) return {};
  p.server.stop();
  return summarize(receipts, paced);
}

Latency run_latency_node(const std::vector<std::string>& frames, const std::string& home) {
  Pipeline p(home + "/data.json", server_options(false));
  if (!p.server.start()) return {};
  auto consumer = attach_node_consumer(p, "latency", frames.size() * kMessagesPerFrame);
  if (!consumer) return {};
  const Paced paced = feed_paced(p, frames);
  const std::string line = wait_line(*consumer, "latency ", 60s);
  std::vector<std::pair<std::int64_t, std::int64_t>> receipts;
  if (!line.empty()) {
    lumora::json::JsonDocument pairs;
    pairs.Parse(std::string_view(line).substr(8));
    const std::size_t n = pairs.SizeAt("");
    for (std::size_t i = 0; i < n; ++i) {
      std::string at = std::to_string(i);
      receipts.emplace_back(pairs.GetInt64(at + "/0"), std::stoll(pairs.GetText(at + "/1")));
    }
  }
  p.server.stop();
  return summarize(receipts, paced);
}

std::string join(const std::vector<double>& v) {
  std::string out;
  char buf[32];
  for (double x : v) {
    std::snprintf(buf, sizeof buf, "%.0f", x);
    if (!out.empty()) out += ' ';
    out += buf;
  }
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  namespace live = lumora::live;
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  std::printf("load average at start: %s (cores: %u)\n", load_average().c_str(),
              std::thread::hardware_concurrency());
  const std::string danmaku = danmaku_template();
  const std::string gift = gift_template();
  std::printf("message shapes: DANMU_MSG %zu bytes, SEND_GIFT %zu bytes (%s)\n", danmaku.size(),
              gift.size(),
              std::filesystem::exists(std::filesystem::path(LUMORA_TESTDATA_DIR) / "bilibili")
                  ? "captured samples"
                  : "built-in copies");

  const int kThroughputFrames = 20000;  // 200,000 events
  const int kLatencyFrames = 1000;      // 10,000 events over 5 s
  std::vector<std::string> frames = build_frames(kThroughputFrames, danmaku, gift);
  const std::vector<std::string> paced_frames(frames.begin(), frames.begin() + kLatencyFrames);
  std::size_t frame_bytes = 0;
  for (const auto& f : frames) frame_bytes += f.size();
  std::printf("frames: %d zlib batches of %d messages, %.0f bytes each on average\n",
              kThroughputFrames, kMessagesPerFrame,
              static_cast<double>(frame_bytes) / kThroughputFrames);

  char home_pattern[] = "/tmp/lumora_bench_live_XXXXXX";
  if (!::mkdtemp(home_pattern)) return 1;
  const std::string home = home_pattern;

  // ---- 1. end-to-end throughput; runs alternate between the consumers ----
  {
    std::vector<double> fast_e2e, fast_pipe, node_e2e, node_pipe;
    long missing = 0, out_of_order = 0, node_missing = 0;
    std::uint64_t dropped = 0;
    for (int r = 0; r < runs; ++r) {
      Throughput a = run_throughput_fast(frames, home);
      Throughput b = run_throughput_node(frames, home);
      fast_e2e.push_back(a.end_to_end);
      fast_pipe.push_back(a.pipeline);
      node_e2e.push_back(b.end_to_end);
      node_pipe.push_back(b.pipeline);
      missing += a.missing;
      out_of_order += a.out_of_order;
      node_missing += b.missing;
      dropped += a.dropped + b.dropped;
    }
    std::printf("throughput, %d events per run, %d runs (events/s, median [runs]):\n",
                kThroughputFrames * kMessagesPerFrame, runs);
    std::printf("  C++ raw-socket consumer: end to end, consumer has all: %.0f [%s]\n",
                median(fast_e2e), join(fast_e2e).c_str());
    std::printf("                           pipeline alone:                %.0f [%s]\n",
                median(fast_pipe), join(fast_pipe).c_str());
    std::printf("                           missing %ld, out of order %ld\n", missing,
                out_of_order);
    std::printf("  Node ws consumer:        end to end, consumer has all: %.0f [%s]\n",
                median(node_e2e), join(node_e2e).c_str());
    std::printf("                           pipeline alone:                %.0f [%s]\n",
                median(node_pipe), join(node_pipe).c_str());
    std::printf("                           missing %ld; dropped (both) %llu\n", node_missing,
                static_cast<unsigned long long>(dropped));
  }

  // ---- 2. latency at 2,000 events/s ----
  {
    std::vector<double> p50, p99, max, cpu_p50, cpu_p99, switches;
    std::vector<double> node_p50, node_p99, node_max;
    std::size_t measured = 0, node_measured = 0;
    for (int r = 0; r < runs; ++r) {
      Latency a = run_latency_fast(paced_frames, home);
      Latency b = run_latency_node(paced_frames, home);
      p50.push_back(a.p50);
      p99.push_back(a.p99);
      max.push_back(a.max);
      cpu_p50.push_back(a.cpu_p50_us);
      cpu_p99.push_back(a.cpu_p99_us);
      switches.push_back(static_cast<double>(a.involuntary_switches));
      node_p50.push_back(b.p50);
      node_p99.push_back(b.p99);
      node_max.push_back(b.max);
      measured += a.measured;
      node_measured += b.measured;
    }
    std::printf(
        "latency frame arrival -> consumer receipt at 2,000 events/s, %d events x %d runs "
        "(us, median [runs]):\n",
        kLatencyFrames * kMessagesPerFrame, runs);
    std::printf(
        "  C++ raw-socket consumer: p50 %.0f [%s]  p99 %.0f [%s]  max %.0f [%s]; %zu "
        "measured\n",
        median(p50), join(p50).c_str(), median(p99), join(p99).c_str(), median(max),
        join(max).c_str(), measured);
    std::printf(
        "    feeding thread CPU per frame of %d events: p50 %.0f [%s]  p99 %.0f [%s]; "
        "involuntary context switches while feeding [%s]\n",
        kMessagesPerFrame, median(cpu_p50), join(cpu_p50).c_str(), median(cpu_p99),
        join(cpu_p99).c_str(), join(switches).c_str());
    std::printf(
        "  Node ws consumer:        p50 %.0f [%s]  p99 %.0f [%s]  max %.0f [%s]; %zu "
        "measured\n",
        median(node_p50), join(node_p50).c_str(), median(node_p99), join(node_p99).c_str(),
        median(node_max), join(node_max).c_str(), node_measured);
  }

  // ---- 3. decode rate against the npm decoder ----
  {
    const int kDecodeFrames = 2000;
    std::vector<std::string> sample(frames.begin(), frames.begin() + kDecodeFrames);
    CountingSink counting;
    live::LiveMessageDispatcher dispatcher(counting);
    live::PacketDecoder decoder;
    std::uint64_t messages = 0;
    auto start = Clock::now();
    double elapsed = 0;
    while (elapsed < 2.0) {
      for (const auto& frame : sample) {
        dispatcher.begin_frame();
        messages += decoder.unpack(frame, dispatcher).message_count;
      }
      elapsed = seconds_since(start);
    }
    double ours = static_cast<double>(messages) / elapsed;

    const std::string frames_file = home + "/frames.bin";
    {
      std::ofstream out(frames_file, std::ios::binary);
      for (const auto& frame : sample) {
        std::string length;
        put32(length, static_cast<std::uint32_t>(frame.size()));
        out << length << frame;
      }
    }
    lumora::test::NodePeer npm(LUMORA_NODE_DIR "/live_bench_npm_decoder.js", {frames_file, "2"},
                               60s);
    double theirs = 0;
    if (npm.ok()) {
      unsigned long long n = 0;
      double s = 0;
      if (std::sscanf(npm.ready_line().c_str(), "npm %llu %lf", &n, &s) == 2 && s > 0)
        theirs = static_cast<double>(n) / s;
    }
    std::printf(
        "decode (unpack + dispatch, %llu events): ours %.0f messages/s; npm "
        "bilibili-live-ws %.0f messages/s; ratio %.1fx\n",
        static_cast<unsigned long long>(counting.events), ours, theirs,
        theirs > 0 ? ours / theirs : 0.0);
  }

  std::filesystem::remove_all(home);
  std::printf("load average at end: %s\n", load_average().c_str());
  return 0;
}
