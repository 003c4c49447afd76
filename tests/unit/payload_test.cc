// Unpacking the embedded zlib streams: the shipped payloads, damaged streams
// of every kind, and the growth of the output buffer from twice the stream's
// length.
#include "installer/payload.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>

#include "installer/messages.h"
#include "support/files.h"
#include "support/platform.h"

namespace lbw {
namespace {

using test::Bytes;
using test::bytes_of;

std::optional<Bytes> unpacked(std::span<const std::uint8_t> payload) {
  Result<ByteBuffer> result = unpack_payload(payload);
  if (!result.ok()) return std::nullopt;
  return Bytes(result.value().bytes().begin(), result.value().bytes().end());
}

// The error text of an unpacking, or "decoded" when it worked.
std::string failure_of(std::span<const std::uint8_t> payload) {
  Result<ByteBuffer> result = unpack_payload(payload);
  return result.ok() ? "decoded" : result.error().text;
}

const std::string kDamaged(messages::kPayloadDamaged);

// Compressible bytes that look like a text file.
Bytes text(std::size_t size) {
  Bytes bytes;
  for (std::size_t i = 0; bytes.size() < size; ++i) {
    const std::string word = "Lirabel Warden " + std::to_string(i * 7919 % 97) + "\r\n";
    bytes.insert(bytes.end(), word.begin(), word.end());
  }
  bytes.resize(size);
  return bytes;
}

// Bytes that deflate cannot shrink.
Bytes noise(std::size_t size) {
  Bytes bytes(size);
  std::uint32_t state = 2463534242u;
  for (std::uint8_t& byte : bytes) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

// A stream at level 9 with the given window bits: 8..15 zlib-wrapped, -15..-8
// raw deflate, 24..31 gzip. With a dictionary, zlib's header asks for it.
Bytes deflated(const Bytes& data, int window_bits = 15, const Bytes* dictionary = nullptr) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  if (dictionary != nullptr) {
    deflateSetDictionary(&stream, dictionary->data(), static_cast<uInt>(dictionary->size()));
  }
  Bytes output(deflateBound(&stream, static_cast<uLong>(data.size())) + 64);
  stream.next_in = const_cast<Bytef*>(data.data());
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = output.data();
  stream.avail_out = static_cast<uInt>(output.size());
  EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
  output.resize(stream.total_out);
  deflateEnd(&stream);
  return output;
}

// A zlib stream around hand-made deflate data, with the Adler-32 of `decoded`.
Bytes wrapped(const Bytes& deflate_data, std::string_view decoded) {
  Bytes stream = deflate_data;
  stream.insert(stream.begin(), {0x78, 0x01});
  const uLong checksum =
      adler32(1, reinterpret_cast<const Bytef*>(decoded.data()), static_cast<uInt>(decoded.size()));
  for (int shift = 24; shift >= 0; shift -= 8) {
    stream.push_back(static_cast<std::uint8_t>(checksum >> shift));
  }
  return stream;
}

Bytes embedded_file(const char* host_path) {
  return test::read_file(test::test_file(host_path)).value_or(Bytes{});
}

TEST(EmbeddedPayloads, DecodeToTheEmbeddedFilesInEitherOrder) {
  // Each test runs in a process of its own, so the application is unpacked
  // first here, and then again after the loader as in a run.
  const Bytes app = embedded_file(LBW_APP_FILE);
  const Bytes loader = embedded_file(LBW_LOADER_FILE);
  ASSERT_FALSE(app.empty());
  ASSERT_FALSE(loader.empty());
  EXPECT_EQ(unpacked(app_payload), app);
  EXPECT_EQ(unpacked(loader_payload), loader);
  EXPECT_EQ(unpacked(app_payload), app);
}

TEST(DamagedPayload, StreamCutShortAtEveryLength) {
  const Bytes stream = deflated(text(400));
  ASSERT_EQ(unpacked(stream), text(400));
  // From length 0 on: an empty payload is damaged too.
  for (std::size_t length = 0; length < stream.size(); ++length) {
    EXPECT_EQ(failure_of({stream.data(), length}), kDamaged) << "cut to " << length;
  }
}

TEST(DamagedPayload, AnyTrailerByteChanged) {
  const Bytes stream = deflated(text(5000));
  for (std::size_t from_end = 1; from_end <= 4; ++from_end) {
    Bytes changed = stream;
    changed[changed.size() - from_end] ^= 0x01;
    EXPECT_EQ(failure_of(changed), kDamaged) << "byte " << from_end << " from the end";
  }
}

TEST(DamagedPayload, HeadersOtherThanZlibsWithItsOwnWindow) {
  const Bytes data = text(3000);
  const Bytes dictionary = text(200);
  const Bytes raw = deflated(data, -15);
  ASSERT_NE((raw[0] * 256 + raw[1]) % 31, 0) << "this raw stream happens to pass as a header";
  EXPECT_EQ(failure_of(raw), kDamaged);
  EXPECT_EQ(failure_of(deflated(data, 15 + 16)), kDamaged);  // gzip
  const Bytes with_dictionary = deflated(data, 15, &dictionary);
  ASSERT_EQ(with_dictionary[1] & 0x20, 0x20);  // FDICT
  EXPECT_EQ(failure_of(with_dictionary), kDamaged);
  // Each header below passes the check bits; FLEVEL is not examined.
  const Bytes stream = deflated(data);
  const struct {
    std::uint8_t cmf, flg;
    bool damaged;
  } headers[] = {{0x88, 0x1C, true},    // CINFO 8: a 64 KiB window
                 {0x77, 0x09, true},    // method 7
                 {0x78, 0x9D, true},    // check bits wrong
                 {0x78, 0x01, false}};  // FLEVEL 0
  for (const auto& h : headers) {
    Bytes changed = stream;
    changed[0] = h.cmf;
    changed[1] = h.flg;
    EXPECT_EQ(failure_of(changed), h.damaged ? kDamaged : "decoded") << int{h.cmf} << int{h.flg};
  }
}

TEST(DamagedPayload, BadDeflateData) {
  // The good twins first, which shows that the hand-made blocks are well formed:
  // a final stored block "abc", and fixed codes for "a" and a copy of 3 from 1 back.
  EXPECT_EQ(unpacked(wrapped({0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c'}, "abc")),
            bytes_of("abc"));
  EXPECT_EQ(unpacked(wrapped({0x4B, 0x04, 0x02, 0x00}, "aaaa")), bytes_of("aaaa"));
  // The stored length not matching its complement; the copy without the "a",
  // reaching back before the first byte; the reserved block type 3.
  EXPECT_EQ(failure_of(wrapped({0x01, 0x03, 0x00, 0xFD, 0xFF, 'a', 'b', 'c'}, "abc")), kDamaged);
  EXPECT_EQ(failure_of(wrapped({0x03, 0x02, 0x00}, "aaa")), kDamaged);
  EXPECT_EQ(failure_of(wrapped({0x07, 0x00}, "")), kDamaged);
}

TEST(UnpackPayload, BytesAfterTheStreamHaveNoEffect) {
  const Bytes data = text(5000);
  Bytes longer = deflated(data);
  longer.push_back(0xFF);
  EXPECT_EQ(unpacked(longer), data);
  // The store puts the application's stream right behind the loader's.
  ASSERT_EQ(app_payload.data(), loader_payload.data() + loader_payload.size());
  EXPECT_EQ(unpacked({loader_payload.data(), loader_payload.size() + app_payload.size()}),
            embedded_file(LBW_LOADER_FILE));
}

TEST(UnpackPayload, ValidStreamOfNothing) { EXPECT_EQ(unpacked(deflated({})), Bytes{}); }

TEST(UnpackPayload, DecodesAroundTwiceTheStreamLength) {
  // The first output buffer holds twice the stream's length: decoded sizes of
  // 2n - 1, 2n and 2n + 1 leave it one short, fill it exactly, and need one
  // doubling. Incompressible bytes and then a run of one byte (not zero, like
  // the fresh buffer) of searched length.
  const Bytes head = noise(1000);
  std::set<long> seen;
  for (std::size_t run = 900; seen.size() < 3 && run < 20'000; ++run) {
    Bytes data = head;
    data.resize(head.size() + run, 0x5A);
    const Bytes stream = deflated(data);
    const long beyond = static_cast<long>(data.size()) - 2 * static_cast<long>(stream.size());
    if (beyond < -1 || beyond > 1 || !seen.insert(beyond).second) continue;
    EXPECT_EQ(unpacked(stream), data) << "2n + " << beyond;
  }
  EXPECT_EQ(seen.size(), 3u);
}

TEST(UnpackPayload, HighlyCompressibleStreamGrowsAsOftenAsNeeded) {
  // A pattern without zeros, so that a byte left unwritten in the zeroed
  // buffer shows.
  Bytes data(16'000'000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(1 + i % 7);
  const Bytes stream = deflated(data);
  // About 16 KB of stream: the first buffer of twice that is doubled nine times.
  ASSERT_LT(stream.size() * 2 * 256, data.size());
  Result<ByteBuffer> result = unpack_payload(stream);
  ASSERT_TRUE(result.ok()) << result.error().text;
  const std::span<const std::uint8_t> decoded = result.value().bytes();
  ASSERT_EQ(decoded.size(), data.size());
  EXPECT_TRUE(std::equal(decoded.begin(), decoded.end(), data.begin()));
}

}  // namespace
}  // namespace lbw
