#include "live/packet_codec.h"

#include <brotli/decode.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace lumora::live {

namespace {

// First guess for an inflate buffer; it doubles from there as a batch needs.
constexpr std::size_t kInitialInflateBytes = std::size_t{64} << 10;
// A buffer grown past this by one large batch is released after the message,
// so one burst does not pin its memory for the connection's life.
constexpr std::size_t kRetainedInflateBytes = std::size_t{4} << 20;

std::uint32_t read_be32(const unsigned char* p) noexcept {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

std::uint16_t read_be16(const unsigned char* p) noexcept {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

void write_be32(char* p, std::uint32_t v) noexcept {
  p[0] = static_cast<char>(v >> 24);
  p[1] = static_cast<char>(v >> 16);
  p[2] = static_cast<char>(v >> 8);
  p[3] = static_cast<char>(v);
}

enum class InflateResult { ok, corrupt, oversize };

}  // namespace

std::string build_auth_frame(std::string_view auth_json) {
  std::string frame(kPacketHeaderBytes + auth_json.size(), '\0');
  // packet_length is 32 bits; a body past that cannot be framed and is cut.
  const std::size_t length = std::min<std::size_t>(frame.size(), UINT32_MAX);
  frame.resize(length);
  write_be32(frame.data(), static_cast<std::uint32_t>(length));
  static constexpr char kAuthHeaderTail[12] = {0, 0x10, 0, 1, 0, 0, 0, OP_AUTH, 0, 0, 0, 1};
  std::memcpy(frame.data() + 4, kAuthHeaderTail, sizeof kAuthHeaderTail);
  if (length > kPacketHeaderBytes) {
    std::memcpy(frame.data() + kPacketHeaderBytes, auth_json.data(), length - kPacketHeaderBytes);
  }
  return frame;
}

struct PacketDecoder::State {
  // The cap is clamped so that cap + 1 and doubling never overflow.
  explicit State(std::size_t cap) : max_inflated_bytes(std::min(cap, SIZE_MAX / 4)) {
    zlib_ready = inflateInit(&zlib) == Z_OK;
  }
  ~State() {
    if (zlib_ready) inflateEnd(&zlib);
  }

  // Makes room for at least `want` bytes, keeping the first `keep`.
  bool reserve(std::size_t want, std::size_t keep) {
    if (want <= capacity) return true;
    std::size_t next = std::max({want, capacity * 2, kInitialInflateBytes});
    std::unique_ptr<unsigned char[]> grown(new (std::nothrow) unsigned char[next]);
    if (!grown) return false;
    if (keep > 0) std::memcpy(grown.get(), buffer.get(), keep);
    buffer = std::move(grown);
    capacity = next;
    return true;
  }

  void release_if_large() {
    if (capacity > kRetainedInflateBytes) {
      buffer.reset();
      capacity = 0;
    }
  }

  // Grows the output window for a batch allowed at most `limit` bytes; the
  // window reaches limit + 1 so that one byte past the limit is detectable.
  // Returns false when the window cannot grow (the batch is over the limit or
  // memory ran out).
  bool grow_window(std::size_t produced, std::size_t limit, std::size_t& window) {
    if (window > limit) return false;
    const std::size_t want = std::min(std::max(window * 2, kInitialInflateBytes), limit + 1);
    if (!reserve(want, produced)) return false;
    window = std::min(capacity, limit + 1);
    return true;
  }

  std::size_t first_window(std::size_t compressed_bytes, std::size_t limit) {
    // Ten times the compressed size covers most batches in one pass.
    std::size_t guess = compressed_bytes > SIZE_MAX / 10 ? SIZE_MAX : compressed_bytes * 10;
    guess = std::min(std::max(guess, kInitialInflateBytes), limit + 1);
    if (capacity < guess && !reserve(guess, 0)) return 0;
    return std::min(capacity, limit + 1);
  }

  InflateResult inflate_zlib(const unsigned char* in, std::size_t in_bytes, std::size_t limit,
                             std::size_t& produced) {
    produced = 0;
    if (!zlib_ready || inflateReset(&zlib) != Z_OK) return InflateResult::corrupt;
    std::size_t window = first_window(in_bytes, limit);
    if (window == 0) return InflateResult::oversize;
    zlib.next_in = const_cast<unsigned char*>(in);
    std::size_t in_left = in_bytes;
    for (;;) {
      if (produced == window && !grow_window(produced, limit, window)) {
        return InflateResult::oversize;
      }
      // zlib counts in 32-bit uInt; feed and drain in chunks that fit.
      const uInt in_chunk = static_cast<uInt>(std::min<std::size_t>(in_left, UINT_MAX));
      const uInt out_chunk = static_cast<uInt>(std::min<std::size_t>(window - produced, UINT_MAX));
      zlib.avail_in = in_chunk;
      zlib.next_out = buffer.get() + produced;
      zlib.avail_out = out_chunk;
      const int rc = inflate(&zlib, Z_NO_FLUSH);
      produced += out_chunk - zlib.avail_out;
      in_left -= in_chunk - zlib.avail_in;
      if (rc == Z_STREAM_END) return produced > limit ? InflateResult::oversize : InflateResult::ok;
      if (rc == Z_OK) continue;
      if (rc == Z_BUF_ERROR && zlib.avail_out == 0) continue;  // output full: grow and go on
      // Z_BUF_ERROR with output room: the stream ends before its end (truncated).
      return InflateResult::corrupt;
    }
  }

  InflateResult inflate_brotli(const unsigned char* in, std::size_t in_bytes, std::size_t limit,
                               std::size_t& produced, const char*& reason) {
    produced = 0;
    std::size_t window = first_window(in_bytes, limit);
    if (window == 0) return InflateResult::oversize;
    std::unique_ptr<BrotliDecoderState, void (*)(BrotliDecoderState*)> brotli(
        BrotliDecoderCreateInstance(nullptr, nullptr, nullptr), BrotliDecoderDestroyInstance);
    if (!brotli) return InflateResult::corrupt;
    const std::uint8_t* next_in = in;
    std::size_t in_left = in_bytes;
    for (;;) {
      std::size_t out_left = window - produced;
      std::uint8_t* next_out = buffer.get() + produced;
      const BrotliDecoderResult rc = BrotliDecoderDecompressStream(brotli.get(), &in_left, &next_in,
                                                                   &out_left, &next_out, nullptr);
      produced = static_cast<std::size_t>(next_out - buffer.get());
      if (rc == BROTLI_DECODER_RESULT_SUCCESS) {
        return produced > limit ? InflateResult::oversize : InflateResult::ok;
      }
      if (rc == BROTLI_DECODER_RESULT_NEEDS_MORE_OUTPUT) {
        if (!grow_window(produced, limit, window)) return InflateResult::oversize;
        continue;
      }
      reason = rc == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT
                   ? "truncated"
                   : BrotliDecoderErrorString(BrotliDecoderGetErrorCode(brotli.get()));
      return InflateResult::corrupt;
    }
  }

  void report(FrameSummary& summary, std::string_view what, std::size_t offset, std::size_t depth) {
    ++summary.bad_packets;
    if (!summary.error.empty()) return;
    summary.error.assign(what);
    summary.error += depth == 0 ? " at offset " : " at offset (inside a batch) ";
    summary.error += std::to_string(offset);
  }

  // Walks one run of packets. depth 0 is the WebSocket message, depth 1 an
  // inflated batch; batches inside batches are not inflated (the platform
  // never nests them, and nesting would multiply a bomb's ratio).
  void walk(const unsigned char* data, std::size_t size, std::size_t depth, FrameSummary& summary,
            MessageSink& sink) {
    std::size_t offset = 0;
    bool after_heartbeat_reply = false;
    while (offset < size) {
      const std::size_t left = size - offset;
      const unsigned char* packet = data + offset;
      if (left < kPacketHeaderBytes) {
        if (!after_heartbeat_reply) report(summary, "truncated packet header", offset, depth);
        return;
      }
      const std::uint32_t packet_length = read_be32(packet);
      if (packet_length < kPacketHeaderBytes || packet_length > left) {
        if (!after_heartbeat_reply) {
          report(summary, "bad packet_length " + std::to_string(packet_length), offset, depth);
        }
        return;
      }
      after_heartbeat_reply = false;
      const std::uint16_t header_length = read_be16(packet + 4);
      const std::uint16_t protocol_version = read_be16(packet + 6);
      const std::uint32_t operation = read_be32(packet + 8);
      offset += packet_length;
      if (header_length < kPacketHeaderBytes || header_length > packet_length) {
        report(summary, "bad header_length " + std::to_string(header_length),
               offset - packet_length, depth);
        continue;
      }
      const unsigned char* body = packet + header_length;
      const std::size_t body_bytes = packet_length - header_length;
      switch (operation) {
        case OP_MESSAGE:
          message_packet(body, body_bytes, protocol_version, offset - packet_length, depth, summary,
                         sink);
          break;
        case OP_HEARTBEAT_REPLY:
          if (body_bytes < 4) {
            report(summary, "short heartbeat reply", offset - packet_length, depth);
            break;
          }
          summary.has_popularity = true;
          summary.popularity = read_be32(body);
          after_heartbeat_reply = true;
          break;
        case OP_AUTH_REPLY:
          summary.auth_reply_seen = true;
          summary.auth_reply.assign(reinterpret_cast<const char*>(body), body_bytes);
          break;
        default:
          break;  // other operations carry nothing for the room client
      }
    }
  }

  void message_packet(const unsigned char* body, std::size_t body_bytes,
                      std::uint16_t protocol_version, std::size_t offset, std::size_t depth,
                      FrameSummary& summary, MessageSink& sink) {
    if (protocol_version == PROTOCOL_PLAIN || protocol_version == PROTOCOL_PLAIN_AUTH) {
      if (body_bytes == 0) {
        report(summary, "empty message packet", offset, depth);
        return;
      }
      ++summary.message_count;
      sink.on_message(std::string_view(reinterpret_cast<const char*>(body), body_bytes));
      return;
    }
    if (protocol_version != PROTOCOL_ZLIB && protocol_version != PROTOCOL_BROTLI) {
      report(summary, "unknown protocol_version " + std::to_string(protocol_version), offset,
             depth);
      return;
    }
    if (depth > 0) {
      report(summary, "compressed packet inside a batch", offset, depth);
      return;
    }
    const std::size_t limit = max_inflated_bytes - std::min(inflated_bytes, max_inflated_bytes);
    std::size_t produced = 0;
    const char* reason = "corrupt";
    const InflateResult result = protocol_version == PROTOCOL_ZLIB
                                     ? inflate_zlib(body, body_bytes, limit, produced)
                                     : inflate_brotli(body, body_bytes, limit, produced, reason);
    inflated_bytes += produced;
    const char* kind = protocol_version == PROTOCOL_ZLIB ? "zlib" : "brotli";
    if (result == InflateResult::oversize) {
      ++summary.oversize_batches;
      report(summary,
             std::string(kind) + " batch dropped: inflates past " +
                 std::to_string(max_inflated_bytes) + " bytes",
             offset, depth);
      return;
    }
    if (result == InflateResult::corrupt) {
      report(summary, std::string(kind) + " batch dropped: " + reason + " stream", offset, depth);
      return;
    }
    walk(buffer.get(), produced, depth + 1, summary, sink);
  }

  const std::size_t max_inflated_bytes;
  std::size_t inflated_bytes = 0;  // spent in the current message
  z_stream zlib{};
  bool zlib_ready = false;
  std::unique_ptr<unsigned char[]> buffer;
  std::size_t capacity = 0;
};

PacketDecoder::PacketDecoder(std::size_t max_inflated_bytes)
    : state_(std::make_unique<State>(max_inflated_bytes)) {}

PacketDecoder::~PacketDecoder() = default;

FrameSummary PacketDecoder::unpack(std::string_view message, MessageSink& sink) {
  FrameSummary summary;
  State& state = *state_;
  state.inflated_bytes = 0;
  // Release the large buffer even when the sink throws.
  struct Release {
    State& state;
    ~Release() { state.release_if_large(); }
  } release{state};
  state.walk(reinterpret_cast<const unsigned char*>(message.data()), message.size(), 0, summary,
             sink);
  return summary;
}

UnpackedFrame unpack_frame(std::string_view message) {
  thread_local PacketDecoder decoder;
  UnpackedFrame frame;
  static_cast<FrameSummary&>(frame) = decoder.unpack(
      message, [&frame](std::string_view text) { frame.messages.emplace_back(text); });
  return frame;
}

}  // namespace lumora::live
