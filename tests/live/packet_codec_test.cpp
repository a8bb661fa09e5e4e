#include "live/packet_codec.h"

#include <brotli/encode.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace lumora::live {
namespace {

using namespace std::string_literals;

// Frames are built here byte by byte, independently of the codec's own writer.
std::string packet(std::uint32_t operation, std::uint16_t version, std::string_view body,
                   std::uint32_t sequence = 0, std::uint16_t header_length = 16,
                   std::optional<std::uint32_t> length = std::nullopt) {
  std::string out;
  auto put32 = [&out](std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<char>(v >> shift));
  };
  auto put16 = [&out](std::uint16_t v) {
    out.push_back(static_cast<char>(v >> 8));
    out.push_back(static_cast<char>(v));
  };
  const std::size_t header_bytes = std::max<std::size_t>(16, header_length);
  put32(length.value_or(static_cast<std::uint32_t>(header_bytes + body.size())));
  put16(header_length);
  put16(version);
  put32(operation);
  put32(sequence);
  out.append(header_bytes - 16, '\0');
  out += body;
  return out;
}

std::string message(std::string_view json) {
  return packet(OP_MESSAGE, 0, json);
}

std::string zlib_compress(std::string_view in) {
  uLongf size = compressBound(in.size());
  std::string out(size, '\0');
  EXPECT_EQ(compress(reinterpret_cast<Bytef*>(out.data()), &size,
                     reinterpret_cast<const Bytef*>(in.data()), in.size()),
            Z_OK);
  out.resize(size);
  return out;
}

std::string brotli_compress(std::string_view in, int quality = 5) {
  std::size_t size = BrotliEncoderMaxCompressedSize(in.size());
  std::string out(size, '\0');
  EXPECT_TRUE(BrotliEncoderCompress(quality, BROTLI_DEFAULT_WINDOW, BROTLI_MODE_GENERIC, in.size(),
                                    reinterpret_cast<const std::uint8_t*>(in.data()), &size,
                                    reinterpret_cast<std::uint8_t*>(out.data())));
  out.resize(size);
  return out;
}

std::string zlib_batch(std::string_view inner) {
  return packet(OP_MESSAGE, 2, zlib_compress(inner));
}
std::string brotli_batch(std::string_view inner, int quality = 5) {
  return packet(OP_MESSAGE, 3, brotli_compress(inner, quality));
}

std::string popularity_body(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
          static_cast<char>(v)};
}

std::optional<std::uint32_t> popularity_of(const FrameSummary& summary) {
  if (!summary.has_popularity) return std::nullopt;
  return summary.popularity;
}

const std::string kA = R"({"cmd":"DANMU_MSG","info":[[0],"hi",[1,"a"]]})";
const std::string kB = R"({"cmd":"SEND_GIFT","data":{"uid":2,"uname":"b"}})";
const std::string kC = R"({"cmd":"INTERACT_WORD","data":{"msg_type":1}})";
const std::string kThree = message(kA) + message(kB) + message(kC);

TEST(OutgoingFrames, HeartbeatIsTheFixed31Bytes) {
  const std::string expected =
      "\x00\x00\x00\x1f\x00\x10\x00\x01\x00\x00\x00\x02\x00\x00\x00\x01"s + "[object Object]";
  EXPECT_EQ(std::string(heartbeat_frame()), expected);
  EXPECT_EQ(heartbeat_frame().size(), 31u);
}

TEST(OutgoingFrames, AuthFrameCarriesLengthAndFixedHeader) {
  const std::string body(300, 'x');
  const std::string frame = build_auth_frame(body);
  ASSERT_EQ(frame.size(), 316u);
  EXPECT_EQ(frame.substr(0, 16),
            "\x00\x00\x01\x3c\x00\x10\x00\x01\x00\x00\x00\x07\x00\x00\x00\x01"s);
  EXPECT_EQ(frame.substr(16), body);
  EXPECT_EQ(build_auth_frame(""),
            "\x00\x00\x00\x10\x00\x10\x00\x01\x00\x00\x00\x07\x00\x00\x00\x01"s);
}

// One synthetic received message and what it must unpack to.
struct Case {
  const char* name;
  std::string input;
  std::vector<std::string> messages;
  std::size_t bad_packets = 0;
  std::optional<std::uint32_t> popularity = std::nullopt;
  std::optional<std::string> auth_reply = std::nullopt;
  std::size_t oversize_batches = 0;
};

std::vector<Case> synthetic_cases() {
  const std::string heartbeat_reply = packet(OP_HEARTBEAT_REPLY, 1, popularity_body(5251), 1);
  // A message followed by a packet whose length field holds 0x7D ("}").
  const std::string brace_json = R"({"cmd":"X","pad":")" + std::string(89, 'p') + R"("})";
  const std::string brace_next = message(brace_json);  // packet_length 125 = 0x7D
  std::string corrupt = zlib_compress(kThree);
  corrupt[corrupt.size() / 2] ^= 0x55;
  corrupt[corrupt.size() / 2 + 1] ^= 0x55;
  const std::string truncated_zlib = zlib_compress(kThree).substr(0, 20);
  return {
      {"empty input", "", {}},
      {"plain message", message(kA), {kA}},
      {"plain packets back to back", kThree, {kA, kB, kC}},
      {"protocol 1 body is plain too", packet(OP_MESSAGE, 1, kB), {kB}},
      {"zlib batch of three", zlib_batch(kThree), {kA, kB, kC}},
      {"brotli batch of three", brotli_batch(kThree), {kA, kB, kC}},
      {"zlib then brotli then plain in one message",
       zlib_batch(message(kA)) + brotli_batch(message(kB)) + message(kC),
       {kA, kB, kC}},
      {"length byte 0x7D after a message", zlib_batch(message(kA) + brace_next), {kA, brace_json}},
      {"UTF-8 outside GBK passes through", message(R"({"cmd":"😀 ü"})"), {R"({"cmd":"😀 ü"})"}},
      {"bad length in the middle stops the run",
       message(kA) + packet(OP_MESSAGE, 0, kB, 0, 16, 8) + message(kC),
       {kA},
       1},
      {"bad length inside a batch keeps what came before",
       zlib_batch(message(kA) + packet(OP_MESSAGE, 0, kB, 0, 16, 3) + message(kC)),
       {kA},
       1},
      {"length larger than the buffer",
       message(kA) + packet(OP_MESSAGE, 0, kB, 0, 16, 1000),
       {kA},
       1},
      {"truncated header", message(kA) + message(kB).substr(0, 10), {kA}, 1},
      {"truncated body", message(kA) + message(kB).substr(0, 30), {kA}, 1},
      {"zlib packet with a 4-byte body that is no zlib stream",
       packet(OP_MESSAGE, 2, "\x00\x00\x14\x83"s),
       {},
       1},
      {"corrupt zlib batch is dropped whole",
       packet(OP_MESSAGE, 2, corrupt) + message(kC),
       {kC},
       1},
      {"truncated zlib stream", packet(OP_MESSAGE, 2, truncated_zlib), {}, 1},
      {"garbage brotli body", packet(OP_MESSAGE, 3, "\xff\xff\xff\xff not brotli"s), {}, 1},
      {"unknown protocol version skipped", packet(OP_MESSAGE, 7, kA) + message(kB), {kB}, 1},
      {"bad header_length skipped", packet(OP_MESSAGE, 0, kA, 0, 8) + message(kB), {kB}, 1},
      {"header_length 20 skips 4 header bytes", packet(OP_MESSAGE, 0, kA, 0, 20), {kA}},
      {"empty message body", packet(OP_MESSAGE, 0, "") + message(kA), {kA}, 1},
      {"batch inside a batch is not inflated", zlib_batch(zlib_batch(message(kA))), {}, 1},
      {"other operations ignored",
       packet(6, 1, "xyz") + packet(OP_HEARTBEAT, 1, "[object Object]"),
       {}},
      {"heartbeat reply", heartbeat_reply, {}, 0, 5251},
      {"heartbeat reply with the echo after it", heartbeat_reply + "[object Object]", {}, 0, 5251},
      {"heartbeat reply with a long echo", heartbeat_reply + std::string(40, '\x7f'), {}, 0, 5251},
      {"heartbeat reply then a message", heartbeat_reply + message(kA), {kA}, 0, 5251},
      {"heartbeat reply too short", packet(OP_HEARTBEAT_REPLY, 1, "\x01\x02"s), {}, 1},
      {"auth reply",
       packet(OP_AUTH_REPLY, 1, R"({"code":0})", 1),
       {},
       0,
       std::nullopt,
       R"({"code":0})"},
  };
}

TEST(UnpackFrame, SyntheticMessages) {
  for (const Case& c : synthetic_cases()) {
    SCOPED_TRACE(c.name);
    const UnpackedFrame frame = unpack_frame(c.input);
    EXPECT_EQ(frame.messages, c.messages);
    EXPECT_EQ(frame.message_count, c.messages.size());
    EXPECT_EQ(frame.bad_packets, c.bad_packets) << frame.error;
    EXPECT_EQ(frame.error.empty(), c.bad_packets == 0) << frame.error;
    EXPECT_EQ(popularity_of(frame), c.popularity);
    EXPECT_EQ(frame.auth_reply_seen, c.auth_reply.has_value());
    EXPECT_EQ(frame.auth_reply, c.auth_reply.value_or(""));
    EXPECT_EQ(frame.oversize_batches, c.oversize_batches);
  }
}

TEST(UnpackFrame, ErrorNamesTheProblemAndOffset) {
  const UnpackedFrame frame = unpack_frame(message(kA) + packet(OP_MESSAGE, 0, kB, 0, 16, 1000));
  EXPECT_NE(frame.error.find("packet_length 1000"), std::string::npos) << frame.error;
  EXPECT_NE(frame.error.find(std::to_string(message(kA).size())), std::string::npos) << frame.error;
}

// Batches far beyond ten times their compressed size come out whole.
TEST(UnpackFrame, HighRatioBatchesInflateWhole) {
  std::string inner;
  std::vector<std::string> expected;
  for (int i = 0; i < 20000; ++i) {
    expected.push_back(R"({"cmd":"DANMU_MSG","info":[[0,1,25],"comment )" + std::to_string(i % 7) +
                       std::string(200, ' ') + R"(",[42,"viewer"]]})");
    inner += message(expected.back());
  }
  for (const std::string& batch : {zlib_batch(inner), brotli_batch(inner)}) {
    ASSERT_GT(inner.size(), batch.size() * 50);
    const UnpackedFrame frame = unpack_frame(batch);
    EXPECT_EQ(frame.bad_packets, 0u) << frame.error;
    EXPECT_EQ(frame.messages, expected);
  }
}

TEST(UnpackFrame, BatchOverTheCapIsDroppedAndReported) {
  const std::string inner = message(std::string(3000, 'z')) + message(kA);
  PacketDecoder small(2048);
  std::vector<std::string> seen;
  auto collect = [&seen](std::string_view text) { seen.emplace_back(text); };
  for (const std::string& batch : {zlib_batch(inner), brotli_batch(inner)}) {
    seen.clear();
    const FrameSummary summary = small.unpack(batch + message(kB), collect);
    EXPECT_EQ(summary.oversize_batches, 1u);
    EXPECT_EQ(summary.bad_packets, 1u);
    EXPECT_NE(summary.error.find("2048"), std::string::npos) << summary.error;
    EXPECT_EQ(seen, std::vector<std::string>{kB});  // the plain packet after it still counts
  }
  // The cap is per received message: the same decoder takes a fitting batch next time.
  seen.clear();
  const FrameSummary fits = small.unpack(zlib_batch(message(kA)), collect);
  EXPECT_EQ(fits.bad_packets, 0u) << fits.error;
  EXPECT_EQ(seen, std::vector<std::string>{kA});
}

TEST(UnpackFrame, ZipBombPastTheDefaultCapIsDropped) {
  // Zeros read as packet_length 0 if they were ever walked; the batch must not be.
  const std::string zeros(kMaxInflatedBytes + (std::size_t{1} << 20), '\0');
  for (const std::string& bomb : {zlib_batch(zeros), brotli_batch(zeros, 1)}) {
    ASSERT_LT(bomb.size(), std::size_t{1} << 20);
    const UnpackedFrame frame = unpack_frame(bomb + message(kA));
    EXPECT_EQ(frame.oversize_batches, 1u) << frame.error;
    EXPECT_EQ(frame.messages, std::vector<std::string>{kA});
  }
  // Two batches under the cap each but over it together: the second is dropped.
  const std::string half(kMaxInflatedBytes / 2 + 16, '\0');
  const std::string half_batch = zlib_batch(message(half.substr(16)));
  const UnpackedFrame both = unpack_frame(half_batch + half_batch);
  EXPECT_EQ(both.messages.size(), 1u);
  EXPECT_EQ(both.oversize_batches, 1u);
}

TEST(UnpackFrame, SinkSeesTheSameTextsAsTheOwnedResult) {
  const std::string input = message(kC) + zlib_batch(kThree) + brotli_batch(kThree);
  PacketDecoder decoder;
  std::vector<std::string> seen;
  const FrameSummary summary =
      decoder.unpack(input, [&seen](std::string_view text) { seen.emplace_back(text); });
  EXPECT_EQ(summary.message_count, 7u);
  EXPECT_EQ(seen, unpack_frame(input).messages);
}

// Random bytes, and valid frames with random bytes changed, never crash (the
// sanitizer build checks every read) and never hand out an empty text.
TEST(UnpackFrame, HostileInputNeverCrashes) {
  std::mt19937 rng(20240611);
  std::uniform_int_distribution<int> byte(0, 255);
  const std::vector<std::string> seeds = {
      kThree, zlib_batch(kThree), brotli_batch(kThree),
      packet(OP_HEARTBEAT_REPLY, 1, popularity_body(7)) + "[object Object]"};
  PacketDecoder decoder;
  bool empty_text = false;
  auto check = [&empty_text](std::string_view text) { empty_text = empty_text || text.empty(); };
  for (int round = 0; round < 3000; ++round) {
    std::string input;
    if (round % 2 == 0) {
      input.resize(static_cast<std::size_t>(byte(rng)) * (round % 7 + 1));
      for (char& ch : input) ch = static_cast<char>(byte(rng));
      // Give some of them a plausible header so the walk reaches the bodies.
      if (input.size() >= 16 && round % 4 == 0) {
        const auto version = static_cast<std::uint16_t>(round / 4 % 4);
        input.replace(
            0, 16,
            packet(OP_MESSAGE, version, "", 0, 16, static_cast<std::uint32_t>(input.size())));
      }
    } else {
      input = seeds[static_cast<std::size_t>(round / 2) % seeds.size()];
      for (int flips = 1 + round % 5; flips > 0; --flips) {
        input[static_cast<std::size_t>(rng()) % input.size()] = static_cast<char>(byte(rng));
      }
    }
    decoder.unpack(input, check);
  }
  EXPECT_FALSE(empty_text);
}

// ---- real captured frames ----

std::filesystem::path testdata() {
  return std::filesystem::path(LUMORA_TESTDATA_DIR) / "bilibili";
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string cmd_of(const std::string& json) {
  const std::string key = R"("cmd":")";
  const std::size_t at = json.find(key);
  if (at == std::string::npos) return {};
  const std::size_t start = at + key.size();
  return json.substr(start, json.find('"', start) - start);
}

struct CapturedFrame {
  std::vector<std::string> cmds;
  std::optional<std::uint32_t> popularity = std::nullopt;
  bool auth_reply = false;
  // messages/ files the texts must equal byte for byte, in order ("" = not compared).
  std::vector<std::string> wire_files = {};
};

const std::vector<std::string> kSunkeyCmds = {
    "INTERACT_WORD",         "INTERACT_WORD", "ONLINE_RANK_COUNT",     "DANMU_MSG",
    "LIVE_INTERACTIVE_GAME", "DANMU_MSG",     "LIVE_INTERACTIVE_GAME", "SEND_GIFT"};
const std::vector<std::string> kSunkeyWire = {
    "INTERACT_WORD.wire.sunkeycn-zlib-2021-01.1.json",
    "INTERACT_WORD.wire.sunkeycn-zlib-2021-01.2.json",
    "ONLINE_RANK_COUNT.wire.sunkeycn-zlib-2021-01.1.json",
    "DANMU_MSG.wire.sunkeycn-zlib-2021-01.1.json",
    "LIVE_INTERACTIVE_GAME.wire.sunkeycn-zlib-2021-01.1.json",
    "DANMU_MSG.wire.sunkeycn-zlib-2021-01.2.json",
    "LIVE_INTERACTIVE_GAME.wire.sunkeycn-zlib-2021-01.2.json",
    "SEND_GIFT.wire.sunkeycn-zlib-2021-01.1.json"};

std::map<std::string, CapturedFrame> captured_frames() {
  std::vector<std::string> concat_cmds = kSunkeyCmds;
  concat_cmds.push_back("INTERACT_WORD");
  std::vector<std::string> concat_wire = kSunkeyWire;
  concat_wire.push_back("INTERACT_WORD.wire.bac-issue210-2021-07.json");
  return {
      // Frames Lumora itself sends carry nothing when received.
      {"bac-2020_auth_protover2.bin", {}},
      {"bac-2025_auth_protover3.bin", {}},
      {"bac-2020_heartbeat.bin", {}},
      {"bac-2025_heartbeat.bin", {}},
      {"bac-2020_auth_reply.bin", {{}, std::nullopt, true}},
      {"bac-2025_auth_reply.bin", {{}, std::nullopt, true}},
      {"bac-2020_heartbeat_reply.bin", {{}, 5251}},
      {"bac-2025_heartbeat_reply_with_echo.bin", {{}, 2466}},
      {"lovelyyoshino-issue41_heartbeat_reply_ver0_2021-07.bin", {{}, 358069}},
      {"bac-2025_brotli_WATCHED_CHANGE.bin",
       {{"WATCHED_CHANGE"}, std::nullopt, false, {"WATCHED_CHANGE.wire.bac-doc-2025.json"}}},
      {"bac-issue210_brotli_INTERACT_WORD_2021-07.bin",
       {{"INTERACT_WORD"}, std::nullopt, false, {"INTERACT_WORD.wire.bac-issue210-2021-07.json"}}},
      {"sunkeycn_zlib_8packets_2021-01.bin", {kSunkeyCmds, std::nullopt, false, kSunkeyWire}},
      {"synthetic_concat_of_real_frames.bin", {concat_cmds, 5251, true, concat_wire}},
  };
}

TEST(CapturedFrames, EveryFrameDecodesToWhatWasCaptured) {
  const std::filesystem::path frames = testdata() / "frames";
  if (!std::filesystem::is_directory(frames)) GTEST_SKIP() << "no captured frames at " << frames;
  const auto expected = captured_frames();
  std::set<std::string> seen;
  for (const auto& entry : std::filesystem::directory_iterator(frames)) {
    const std::string name = entry.path().filename().string();
    SCOPED_TRACE(name);
    seen.insert(name);
    const auto it = expected.find(name);
    ASSERT_NE(it, expected.end()) << "a captured frame without an expectation";
    const CapturedFrame& want = it->second;

    const UnpackedFrame frame = unpack_frame(read_file(entry.path()));
    EXPECT_EQ(frame.bad_packets, 0u) << frame.error;
    std::vector<std::string> cmds;
    for (const std::string& text : frame.messages) cmds.push_back(cmd_of(text));
    EXPECT_EQ(cmds, want.cmds);
    EXPECT_EQ(popularity_of(frame), want.popularity);
    EXPECT_EQ(frame.auth_reply_seen, want.auth_reply);
    EXPECT_EQ(frame.auth_reply, want.auth_reply ? R"({"code":0})" : "");
    if (!want.wire_files.empty()) {
      ASSERT_EQ(frame.messages.size(), want.wire_files.size());
      for (std::size_t i = 0; i < want.wire_files.size(); ++i) {
        EXPECT_EQ(frame.messages[i], read_file(testdata() / "messages" / want.wire_files[i]))
            << want.wire_files[i];
      }
    }
  }
  for (const auto& [name, want] : expected) EXPECT_TRUE(seen.count(name)) << "missing " << name;
}

TEST(CapturedFrames, SentFramesMatchTheCapturedOnes) {
  const std::filesystem::path frames = testdata() / "frames";
  if (!std::filesystem::is_directory(frames)) GTEST_SKIP() << "no captured frames at " << frames;
  EXPECT_EQ(std::string(heartbeat_frame()), read_file(frames / "bac-2020_heartbeat.bin"));
  EXPECT_EQ(std::string(heartbeat_frame()), read_file(frames / "bac-2025_heartbeat.bin"));
  for (const char* name : {"bac-2020_auth_protover2.bin", "bac-2025_auth_protover3.bin"}) {
    const std::string captured = read_file(frames / name);
    ASSERT_GT(captured.size(), 16u);
    EXPECT_EQ(build_auth_frame(captured.substr(16)), captured) << name;
  }
}

}  // namespace
}  // namespace lumora::live
