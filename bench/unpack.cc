// Times lbw::unpack_payload on each embedded payload against the least any
// decoder of a zlib stream must do: one inflate call with Z_FINISH into a
// buffer of exactly the decoded size, allocated fresh each run the way the
// product allocates (a ByteBuffer: pages of its own from the system).
//
//   bench_unpack RUNS
//
// Prints "decoded_bytes <payload> <n>", then per run "unpack_ms <payload> <t>"
// and "inflate_ms <payload> <t>"; bench/run tabulates them. Both ways must
// give the same bytes, or the program ends with 1.
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>

#include "installer/byte_buffer.h"
#include "installer/payload.h"
#include "shell/win32.h"

namespace {

constexpr int kWarmUpRuns = 3;

struct Payload {
  const char* name;
  std::span<const std::uint8_t> stream;
};

[[noreturn]] void fail(const char* what) {
  std::printf("error %s\n", what);
  std::exit(1);
}

class Stopwatch {
 public:
  Stopwatch() { QueryPerformanceCounter(&start_); }
  double milliseconds() const {
    LARGE_INTEGER now;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(now.QuadPart - start_.QuadPart) /
           static_cast<double>(frequency.QuadPart);
  }

 private:
  LARGE_INTEGER start_;
};

// The floor: one decoder, one call, no copy, no growing.
lbw::ByteBuffer inflate_once(std::span<const std::uint8_t> stream, std::size_t decoded_size) {
  lbw::ByteBuffer output;
  output.grow(decoded_size);
  z_stream state{};
  if (inflateInit(&state) != Z_OK) fail("inflateInit");
  state.next_in = const_cast<Bytef*>(stream.data());
  state.avail_in = static_cast<uInt>(stream.size());
  state.next_out = output.data();
  state.avail_out = static_cast<uInt>(decoded_size);
  const int status = inflate(&state, Z_FINISH);
  inflateEnd(&state);
  if (status != Z_STREAM_END) fail("inflate did not reach the end of the stream");
  return output;
}

lbw::ByteBuffer unpack(std::span<const std::uint8_t> stream) {
  lbw::Result<lbw::ByteBuffer> unpacked = lbw::unpack_payload(stream);
  if (!unpacked.ok()) fail("unpack_payload refused an embedded payload");
  return std::move(unpacked.value());
}

// One timed call of each, the buffers released after the clock stopped. The
// order alternates, so that neither always finds the input in the cache.
void time_both(const Payload& payload, std::size_t decoded_size, bool unpack_first, bool report) {
  double unpack_ms = 0;
  double inflate_ms = 0;
  for (int turn = 0; turn < 2; ++turn) {
    if ((turn == 0) == unpack_first) {
      const Stopwatch watch;
      const lbw::ByteBuffer output = unpack(payload.stream);
      unpack_ms = watch.milliseconds();
    } else {
      const Stopwatch watch;
      const lbw::ByteBuffer output = inflate_once(payload.stream, decoded_size);
      inflate_ms = watch.milliseconds();
    }
  }
  if (!report) return;
  std::printf("unpack_ms %s %.4f\n", payload.name, unpack_ms);
  std::printf("inflate_ms %s %.4f\n", payload.name, inflate_ms);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  const Payload payloads[] = {{"loader", lbw::loader_payload}, {"app", lbw::app_payload}};
  std::size_t decoded_sizes[std::size(payloads)];
  for (std::size_t i = 0; i < std::size(payloads); ++i) {
    const lbw::ByteBuffer unpacked = unpack(payloads[i].stream);
    decoded_sizes[i] = unpacked.size();
    const lbw::ByteBuffer inflated = inflate_once(payloads[i].stream, unpacked.size());
    if (std::memcmp(unpacked.bytes().data(), inflated.bytes().data(), unpacked.size()) != 0) {
      fail("the two ways decoded different bytes");
    }
    std::printf("decoded_bytes %s %zu\n", payloads[i].name, unpacked.size());
    std::printf("stream_bytes %s %zu\n", payloads[i].name, payloads[i].stream.size());
  }
  for (int run = 0; run < kWarmUpRuns + runs; ++run) {
    for (std::size_t i = 0; i < std::size(payloads); ++i) {
      time_both(payloads[i], decoded_sizes[i], run % 2 == 0, run >= kWarmUpRuns);
    }
  }
  return 0;
}
