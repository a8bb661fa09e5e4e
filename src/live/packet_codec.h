#pragma once
// The live platform's binary packets: the two frames Lumora sends and the
// unpacking of every binary WebSocket message the live room sends.
//
// A packet is a 16-byte big-endian header (packet_length, header_length,
// protocol_version, operation, sequence) followed by its body. One WebSocket
// message may hold several packets back to back; a compressed message packet
// (protocol_version 2 zlib, 3 brotli) holds, once inflated, another run of
// packets, each with one JSON message.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

namespace lumora::live {

inline constexpr std::size_t kPacketHeaderBytes = 16;

// Operations of the packet header.
inline constexpr std::uint32_t OP_HEARTBEAT = 2;
inline constexpr std::uint32_t OP_HEARTBEAT_REPLY = 3;
inline constexpr std::uint32_t OP_MESSAGE = 5;
inline constexpr std::uint32_t OP_AUTH = 7;
inline constexpr std::uint32_t OP_AUTH_REPLY = 8;

// Body kinds of an OP_MESSAGE packet, by protocol_version.
inline constexpr std::uint16_t PROTOCOL_PLAIN = 0;       // one JSON message
inline constexpr std::uint16_t PROTOCOL_PLAIN_AUTH = 1;  // also plain (used by the frames sent)
inline constexpr std::uint16_t PROTOCOL_ZLIB = 2;        // a zlib stream holding a run of packets
inline constexpr std::uint16_t PROTOCOL_BROTLI = 3;      // a brotli stream holding a run of packets

// Inflated bytes allowed per received WebSocket message, all batches together.
// A hostile batch can inflate a thousandfold (zlib) or far more (brotli); this
// bounds the memory and time one message can cost.
inline constexpr std::size_t kMaxInflatedBytes = std::size_t{64} << 20;

// The heartbeat frame: operation 2, protocol 1, sequence 1, body "[object Object]" (31 bytes).
constexpr std::string_view heartbeat_frame() noexcept {
  using namespace std::string_view_literals;
  return "\x00\x00\x00\x1f\x00\x10\x00\x01\x00\x00\x00\x02\x00\x00\x00\x01[object Object]"sv;
}

// The authentication frame: operation 7, protocol 1, sequence 1, body = auth_json's bytes.
std::string build_auth_frame(std::string_view auth_json);

// What one received WebSocket message held besides its message texts.
struct FrameSummary {
  std::size_t message_count = 0;     // JSON message texts handed out
  bool has_popularity = false;       // an OP_HEARTBEAT_REPLY was seen
  std::uint32_t popularity = 0;      // its 4-byte popularity (the last one, if several)
  bool auth_reply_seen = false;      // an OP_AUTH_REPLY was seen
  std::string auth_reply;            // its body (JSON text, e.g. {"code":0})
  std::size_t bad_packets = 0;       // malformed packets skipped (see error)
  std::size_t oversize_batches = 0;  // compressed batches dropped for exceeding the inflate cap
  std::string error;                 // the first problem met, with its offset; empty when none
};

// A receiver of message texts. The view holds the JSON text's bytes exactly as
// received (UTF-8) and lives only until on_message returns.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void on_message(std::string_view json_utf8) = 0;
};

// Unpacks received messages with inflate state and buffers kept between calls,
// so that steady-state unpacking allocates nothing per packet. Not thread-safe
// and not re-entrant (a sink must not unpack on the decoder that calls it):
// one decoder per connection or per thread.
class PacketDecoder {
 public:
  explicit PacketDecoder(std::size_t max_inflated_bytes = kMaxInflatedBytes);
  ~PacketDecoder();
  PacketDecoder(const PacketDecoder&) = delete;
  PacketDecoder& operator=(const PacketDecoder&) = delete;

  // Walks every packet of one binary WebSocket message, in order, giving each
  // JSON message text to sink. A packet whose packet_length is below 16 or past
  // the end of its buffer ends its run (counted bad); bytes after a heartbeat
  // reply that do not form a packet are the platform's echo and are ignored. A
  // compressed batch that fails to inflate completely, or inflates past the
  // cap, is dropped whole; a compressed packet inside a batch is skipped. Never
  // throws for any input; exceptions thrown by sink pass through.
  FrameSummary unpack(std::string_view message, MessageSink& sink);

  // As above with any callable taking std::string_view.
  template <class OnMessage>
  requires std::is_invocable_v<OnMessage&, std::string_view> FrameSummary
  unpack(std::string_view message, OnMessage&& on_message) {
    struct CallSink final : MessageSink {
      explicit CallSink(OnMessage& f) : f_(f) {}
      void on_message(std::string_view json_utf8) override { f_(json_utf8); }
      OnMessage& f_;
    } sink(on_message);
    return unpack(message, static_cast<MessageSink&>(sink));
  }

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// One received message unpacked into owned texts.
struct UnpackedFrame : FrameSummary {
  std::vector<std::string> messages;  // JSON texts (UTF-8), in the order they appear
};

// Unpacks one received binary WebSocket message with this thread's decoder.
UnpackedFrame unpack_frame(std::string_view message);

}  // namespace lumora::live
