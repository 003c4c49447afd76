// Unpacking the embedded zlib streams: the shipped payloads, damaged streams
// of every kind, and the growth of the output buffer from twice the stream's
// length.
#include "installer/payload.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "installer/messages.h"
#include "support/files.h"

namespace lbw {
namespace {

using test::Bytes;
using test::bytes_of;

// A payload unpacked: its bytes, or nothing after reporting the failure.
std::optional<Bytes> unpacked(std::span<const std::uint8_t> payload) {
  Result<ByteBuffer> result = unpack_payload(payload);
  if (!result.ok()) {
    ADD_FAILURE() << "unpacking failed: " << result.error().text;
    return std::nullopt;
  }
  const std::span<const std::uint8_t> bytes = result->bytes();
  return Bytes(bytes.begin(), bytes.end());
}

::testing::AssertionResult is_damaged(std::span<const std::uint8_t> payload) {
  Result<ByteBuffer> result = unpack_payload(payload);
  if (result.ok()) {
    return ::testing::AssertionFailure() << "decoded " << result->size() << " bytes";
  }
  if (result.error().text != messages::kPayloadDamaged) {
    return ::testing::AssertionFailure() << "unexpected text: " << result.error().text;
  }
  return ::testing::AssertionSuccess();
}

// Bytes that look like a text file: compressible, but not trivially.
Bytes sample_text(std::size_t size) {
  static constexpr std::string_view kWords[] = {"Warden ", "Lirabel ", "tray ", "setup ",
                                                "folder ", "update\r\n", "file "};
  Bytes text;
  for (std::size_t i = 0; text.size() < size; i = (i * 7 + 3) % 11) {
    const std::string_view word = kWords[i % std::size(kWords)];
    text.insert(text.end(), word.begin(), word.end());
  }
  text.resize(size);
  return text;
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

Bytes zlib_stream(const Bytes& data) {
  uLongf length = compressBound(static_cast<uLong>(data.size()));
  Bytes stream(length);
  EXPECT_EQ(compress2(stream.data(), &length, data.data(), static_cast<uLong>(data.size()), 9),
            Z_OK);
  stream.resize(length);
  return stream;
}

// A stream made by deflate with the given window bits: 8..15 zlib-wrapped,
// -15..-8 raw deflate, 24..31 gzip. With a dictionary, zlib's header asks for it.
Bytes deflated(const Bytes& data, int window_bits, const Bytes* dictionary = nullptr) {
  z_stream stream{};
  EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY), Z_OK);
  if (dictionary != nullptr) {
    EXPECT_EQ(deflateSetDictionary(&stream, dictionary->data(),
                                   static_cast<uInt>(dictionary->size())),
              Z_OK);
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

// Whether two bytes pass the header rules of a zlib stream.
bool valid_header(std::uint8_t cmf, std::uint8_t flg) {
  return (cmf & 0x0F) == 8 && (cmf >> 4) <= 7 && (flg & 0x20) == 0 && (cmf * 256 + flg) % 31 == 0;
}

// The same header with another CMF, FCHECK recomputed so that the check
// bits are right and FLEVEL and FDICT are kept.
Bytes with_cmf(Bytes stream, std::uint8_t cmf) {
  stream[0] = cmf;
  stream[1] &= 0xE0;
  stream[1] += static_cast<std::uint8_t>((31 - (cmf * 256 + stream[1]) % 31) % 31);
  return stream;
}

Bytes embedded_file(const char* host_path) {
  std::optional<Bytes> file = test::read_file(test::wine_path(host_path));
  EXPECT_TRUE(file.has_value()) << "cannot read " << host_path;
  return file.value_or(Bytes{});
}

// Deflate data written bit by bit (RFC 1951: fields from the least
// significant bit, Huffman codes from their most significant bit).
class BitWriter {
 public:
  void field(unsigned value, int bits) {
    for (int i = 0; i < bits; ++i) bit((value >> i) & 1);
  }
  void code(unsigned value, int bits) {
    for (int i = bits - 1; i >= 0; --i) bit((value >> i) & 1);
  }
  Bytes bytes() const { return bytes_; }

 private:
  void bit(unsigned value) {
    if (used_ % 8 == 0) bytes_.push_back(0);
    bytes_.back() |= static_cast<std::uint8_t>(value << (used_ % 8));
    ++used_;
  }
  Bytes bytes_;
  int used_ = 0;
};

// A zlib stream around hand-made deflate data, with the Adler-32 of `decoded`.
Bytes wrapped(const Bytes& deflate_data, const Bytes& decoded) {
  Bytes stream{0x78, 0x01};
  stream.insert(stream.end(), deflate_data.begin(), deflate_data.end());
  const uLong checksum = adler32(adler32(0, nullptr, 0), decoded.data(),
                                 static_cast<uInt>(decoded.size()));
  for (int shift = 24; shift >= 0; shift -= 8) {
    stream.push_back(static_cast<std::uint8_t>(checksum >> shift));
  }
  return stream;
}

// ---------------------------------------------------------------------------

TEST(EmbeddedPayloads, LoaderDecodesToTheEmbeddedLibrary) {
  const Bytes expected = embedded_file(LBW_LOADER_FILE);
  ASSERT_GE(expected.size(), 2u);
  EXPECT_EQ(expected[0], 'M');
  EXPECT_EQ(expected[1], 'Z');
  EXPECT_EQ(unpacked(loader_payload), expected);
}

TEST(EmbeddedPayloads, ApplicationDecodesToTheEmbeddedProgram) {
  const Bytes expected = embedded_file(LBW_APP_FILE);
  ASSERT_GE(expected.size(), 2u);
  EXPECT_EQ(expected[0], 'M');
  EXPECT_EQ(expected[1], 'Z');
  EXPECT_EQ(unpacked(app_payload), expected);
}

TEST(EmbeddedPayloads, ApplicationDecodesAloneAsAfterTheLoader) {
  // Each test runs in a process of its own, so the first call here is the
  // first unpacking of this process.
  const std::optional<Bytes> alone = unpacked(app_payload);
  ASSERT_TRUE(unpacked(loader_payload).has_value());
  const std::optional<Bytes> after_loader = unpacked(app_payload);
  ASSERT_TRUE(alone.has_value());
  EXPECT_EQ(alone, after_loader);
  EXPECT_EQ(alone, embedded_file(LBW_APP_FILE));
}

TEST(EmbeddedPayloads, LoaderFollowedByTheApplicationStreamDecodesAlone) {
  // The store puts the application's stream right behind the loader's; given
  // a length that runs on into it, the loader still decodes by itself.
  ASSERT_EQ(app_payload.data(), loader_payload.data() + loader_payload.size());
  const std::span<const std::uint8_t> both{loader_payload.data(),
                                           loader_payload.size() + app_payload.size()};
  EXPECT_EQ(unpacked(both), embedded_file(LBW_LOADER_FILE));
}

// ---------------------------------------------------------------------------

TEST(DamagedPayload, EmptyPayload) { EXPECT_TRUE(is_damaged({})); }

TEST(DamagedPayload, StreamCutShortAtEveryLength) {
  const Bytes stream = zlib_stream(sample_text(400));
  ASSERT_LT(stream.size(), 400u);
  ASSERT_TRUE(unpacked(stream).has_value());
  for (std::size_t length = 0; length < stream.size(); ++length) {
    EXPECT_TRUE(is_damaged({stream.data(), length})) << "cut to " << length << " bytes";
  }
}

TEST(DamagedPayload, EmbeddedLoaderShortOfItsLastTrailerBytes) {
  for (std::size_t missing = 1; missing <= 4; ++missing) {
    EXPECT_TRUE(is_damaged(loader_payload.first(loader_payload.size() - missing)))
        << missing << " bytes missing";
  }
}

TEST(DamagedPayload, AnyTrailerByteChanged) {
  const Bytes stream = zlib_stream(sample_text(5000));
  for (std::size_t from_end = 1; from_end <= 4; ++from_end) {
    for (const std::uint8_t flip : {0x01, 0x80}) {
      Bytes changed = stream;
      changed[changed.size() - from_end] ^= flip;
      EXPECT_TRUE(is_damaged(changed)) << "byte " << from_end << " from the end ^ " << int{flip};
    }
  }
}

TEST(DamagedPayload, GzipStream) {
  const Bytes gzip = deflated(sample_text(3000), 15 + 16);
  ASSERT_EQ(gzip[0], 0x1F);
  ASSERT_EQ(gzip[1], 0x8B);
  EXPECT_TRUE(is_damaged(gzip));
}

TEST(DamagedPayload, RawDeflateStream) {
  for (const Bytes& data : {sample_text(3000), noise(3000), Bytes(3000, 0)}) {
    const Bytes raw = deflated(data, -15);
    ASSERT_FALSE(valid_header(raw[0], raw[1])) << "this raw stream happens to pass as a header";
    EXPECT_TRUE(is_damaged(raw));
  }
}

TEST(DamagedPayload, WindowAboveThirtyTwoKibibytes) {
  const Bytes stream = zlib_stream(sample_text(3000));
  for (std::uint8_t cinfo = 8; cinfo <= 15; ++cinfo) {
    const Bytes changed = with_cmf(stream, static_cast<std::uint8_t>(cinfo << 4 | 8));
    ASSERT_EQ((changed[0] * 256 + changed[1]) % 31, 0);
    EXPECT_TRUE(is_damaged(changed)) << "CINFO " << int{cinfo};
  }
}

TEST(DamagedPayload, CompressionMethodOtherThanDeflate) {
  const Bytes stream = zlib_stream(sample_text(3000));
  for (const std::uint8_t method : {0, 7, 9, 15}) {
    EXPECT_TRUE(is_damaged(with_cmf(stream, static_cast<std::uint8_t>(0x70 | method))))
        << "method " << int{method};
  }
}

TEST(DamagedPayload, HeaderCheckBitsWrong) {
  const Bytes stream = zlib_stream(sample_text(3000));
  for (const std::uint8_t delta : {1, 15, 30}) {
    Bytes changed = stream;
    changed[1] = static_cast<std::uint8_t>((changed[1] & 0xE0) | ((changed[1] + delta) & 0x1F));
    ASSERT_NE((changed[0] * 256 + changed[1]) % 31, 0);
    EXPECT_TRUE(is_damaged(changed)) << "FLG " << int{changed[1]};
  }
}

TEST(DamagedPayload, PresetDictionaryRequested) {
  const Bytes dictionary = sample_text(200);
  const Bytes stream = deflated(sample_text(3000), 15, &dictionary);
  // Only FDICT breaks the header rules: method 8, a 32 KiB window, check bits right.
  ASSERT_EQ(stream[0], 0x78);
  ASSERT_NE(stream[1] & 0x20, 0) << "FDICT is not set";
  ASSERT_EQ((stream[0] * 256 + stream[1]) % 31, 0);
  EXPECT_TRUE(is_damaged(stream));
}

TEST(DamagedPayload, ReservedBlockType) {
  BitWriter block;
  block.field(1, 1);  // final block
  block.field(3, 2);  // block type 3 is reserved
  block.field(0, 13);
  EXPECT_TRUE(is_damaged(wrapped(block.bytes(), {})));
}

TEST(DamagedPayload, StoredBlockLengthNotMatchingItsComplement) {
  const Bytes good{0x01, 0x03, 0x00, 0xFC, 0xFF, 'a', 'b', 'c'};  // final stored block "abc"
  EXPECT_EQ(unpacked(wrapped(good, bytes_of("abc"))), bytes_of("abc"));
  Bytes bad = good;
  bad[3] ^= 0x01;
  EXPECT_TRUE(is_damaged(wrapped(bad, bytes_of("abc"))));
}

// A final block with fixed codes: an optional literal "a", then a copy of 3
// bytes from 1 byte back, then the end of the block.
Bytes copy_block(bool literal_first) {
  BitWriter block;
  block.field(1, 1);  // final block
  block.field(1, 2);  // fixed Huffman codes
  if (literal_first) block.code(0x30 + 'a', 8);  // literals 0..143: 8 bits from 0x30
  block.code(257 - 256, 7);                      // length 3: symbol 257, 7 bits from 0
  block.code(0, 5);                              // distance 1: code 0, 5 bits
  block.code(0, 7);                              // end of block: symbol 256
  return block.bytes();
}

TEST(DamagedPayload, BackReferenceBeforeTheFirstByte) {
  // The same copy after a literal is fine, which shows that the block is well formed.
  EXPECT_EQ(unpacked(wrapped(copy_block(true), bytes_of("aaaa"))), bytes_of("aaaa"));
  EXPECT_TRUE(is_damaged(wrapped(copy_block(false), bytes_of("aaa"))));
}

// ---------------------------------------------------------------------------

TEST(UnpackPayload, BytesAfterTheStreamHaveNoEffect) {
  const Bytes data = sample_text(5000);
  const Bytes stream = zlib_stream(data);
  for (const Bytes& tail : {Bytes(1, 0xFF), Bytes(100, 0x00), noise(10'000), stream}) {
    Bytes longer = stream;
    longer.insert(longer.end(), tail.begin(), tail.end());
    EXPECT_EQ(unpacked(longer), data) << tail.size() << " bytes after the stream";
  }
}

TEST(UnpackPayload, HeaderLevelFieldIsNotExamined) {
  const Bytes data = sample_text(3000);
  const Bytes stream = zlib_stream(data);
  for (const std::uint8_t level : {0, 1, 2, 3}) {
    Bytes changed = stream;
    changed[1] = static_cast<std::uint8_t>(level << 6);
    changed = with_cmf(changed, changed[0]);
    EXPECT_EQ(unpacked(changed), data) << "FLEVEL " << int{level};
  }
}

TEST(UnpackPayload, ValidStreamOfNothing) {
  const Bytes stream = zlib_stream({});
  std::optional<Bytes> result = unpacked(stream);
  ASSERT_TRUE(result.has_value());
  EXPECT_TRUE(result->empty());
}

// Data whose zlib stream of n bytes decodes to exactly 2 × n + `beyond` bytes:
// incompressible bytes followed by a run of zeros whose length is searched.
// The first output buffer is 2 × n bytes, so the cases around it decode with
// the buffer exactly full, and one byte into the first doubling.
Bytes data_decoding_to_twice_its_stream(long beyond) {
  const Bytes head = noise(1000);
  // The noise alone takes about 1000 bytes of stream, so fewer zeros than
  // about 1000 never decode to twice the stream.
  for (std::size_t zeros = 900; zeros < 20'000; ++zeros) {
    Bytes data = head;
    data.resize(head.size() + zeros, 0);
    const long stream_length = static_cast<long>(zlib_stream(data).size());
    if (static_cast<long>(data.size()) == 2 * stream_length + beyond) return data;
  }
  ADD_FAILURE() << "no run of zeros gives 2 × n + " << beyond;
  return {};
}

class TwiceTheStreamLength : public ::testing::TestWithParam<long> {};

TEST_P(TwiceTheStreamLength, DecodesExactly) {
  const Bytes data = data_decoding_to_twice_its_stream(GetParam());
  ASSERT_FALSE(data.empty());
  const Bytes stream = zlib_stream(data);
  ASSERT_EQ(static_cast<long>(data.size()), 2 * static_cast<long>(stream.size()) + GetParam());
  EXPECT_EQ(unpacked(stream), data);
}

INSTANTIATE_TEST_SUITE_P(AroundTheFirstBuffer, TwiceTheStreamLength, ::testing::Values(-1, 0, 1));

TEST(UnpackPayload, HighlyCompressibleStreamGrowsAsOftenAsNeeded) {
  const Bytes data(50'000'000, 0);
  const Bytes stream = zlib_stream(data);
  // About 49 KB of stream: the first buffer of twice that is doubled ten times.
  ASSERT_LT(stream.size() * 2 * 512, data.size());
  Result<ByteBuffer> result = unpack_payload(stream);
  ASSERT_TRUE(result.ok()) << result.error().text;
  ASSERT_EQ(result->size(), data.size());
  const std::span<const std::uint8_t> bytes = result->bytes();
  EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; }));
}

TEST(UnpackPayload, StreamOfManyBlocksAndLongDistances) {
  // Text repeated at distances up to the full window, in many deflate blocks.
  Bytes data = sample_text(40'000);
  const Bytes once = data;
  for (int i = 0; i < 8; ++i) data.insert(data.end(), once.begin(), once.begin() + 32'000);
  const Bytes random = noise(300'000);
  data.insert(data.end(), random.begin(), random.end());
  EXPECT_EQ(unpacked(zlib_stream(data)), data);
}

}  // namespace
}  // namespace lbw
