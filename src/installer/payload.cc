// Unpacking an embedded zlib stream into memory.
#include "installer/payload.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdlib>

#include "installer/messages.h"

namespace lbw {
namespace {

// zlib counts in 32-bit units; larger spans are fed in pieces.
uInt clamp_to_uint(std::size_t count) {
  return static_cast<uInt>(std::min<std::size_t>(count, UINT_MAX));
}

std::size_t doubled(std::size_t size) {
  check(size <= SIZE_MAX / 2, "decoded size overflows");
  return 2 * size;
}

// The decoder's memory goes through the one allocation path of the program:
// a refusal ends the process.
voidpf allocate(voidpf, uInt items, uInt size) {
  const std::size_t bytes = std::size_t{items} * size;
  if (void* block = std::malloc(bytes)) return block;
  out_of_memory(bytes);
}

void release(voidpf, voidpf block) { std::free(block); }

// One decoder state for a zlib-wrapped stream (header and Adler-32 checked by
// zlib, window of at most 32 KiB, no preset dictionary), released on every path.
class Inflater {
 public:
  Inflater() {
    stream_.zalloc = allocate;
    stream_.zfree = release;
    check(inflateInit(&stream_) == Z_OK, "the decoder could not be set up");
  }
  ~Inflater() { inflateEnd(&stream_); }
  Inflater(const Inflater&) = delete;
  Inflater& operator=(const Inflater&) = delete;

  // Decodes from `input` into `output` as far as both allow; reports how much
  // of each was used and zlib's status.
  int run(std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
          std::size_t& consumed, std::size_t& produced) {
    stream_.next_in = const_cast<Bytef*>(input.data());
    stream_.avail_in = clamp_to_uint(input.size());
    stream_.next_out = output.data();
    stream_.avail_out = clamp_to_uint(output.size());
    const uInt input_offered = stream_.avail_in;
    const uInt output_offered = stream_.avail_out;
    const int status = inflate(&stream_, Z_NO_FLUSH);
    consumed = input_offered - stream_.avail_in;
    produced = output_offered - stream_.avail_out;
    return status;
  }

 private:
  z_stream stream_{};
};

ErrorText damaged() { return messages::error(messages::kPayloadDamaged); }

}  // namespace

Result<ByteBuffer> unpack_payload(std::span<const std::uint8_t> payload) {
  // An empty payload is no stream; it would also leave a buffer of 2 x 0 bytes
  // that doubling could never grow.
  if (payload.empty()) return damaged();
  ByteBuffer output;
  output.grow(doubled(payload.size()));
  Inflater inflater;
  std::size_t input_used = 0;
  std::size_t output_used = 0;
  for (;;) {
    std::size_t consumed = 0;
    std::size_t produced = 0;
    const int status = inflater.run(payload.subspan(input_used),
                                    {output.data() + output_used, output.size() - output_used},
                                    consumed, produced);
    input_used += consumed;
    output_used += produced;
    if (status == Z_STREAM_END) {  // the final block has ended and the checksum matched
      output.truncate(output_used);
      return output;
    }
    if (status != Z_OK && status != Z_BUF_ERROR) return damaged();  // bad data, dictionary
    if (output_used == output.size()) {
      output.grow(doubled(output.size()));
    } else if (input_used == payload.size() || (consumed == 0 && produced == 0)) {
      return damaged();  // the input ended before the stream did
    }
  }
}

}  // namespace lbw
