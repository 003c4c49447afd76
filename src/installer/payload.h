// The two files the installer carries, each one embedded zlib stream, and
// their unpacking into memory.
#pragma once

#include <cstdint>
#include <span>

#include "installer/byte_buffer.h"
#include "installer/result.h"

namespace lbw {

// The compressed loader library (WebView2Loader.dll) and application
// (lirabel-warden.exe), back to back in read-only data; start and exact length
// are fixed by the build.
extern const std::span<const std::uint8_t> loader_payload;
extern const std::span<const std::uint8_t> app_payload;

// Decodes one payload (a complete zlib stream) into a buffer of exactly the
// file's bytes. Any damage (a bad header, bad deflate data, input that ends
// before the checksum, a checksum that does not match) gives the one text for
// a damaged download. The payload is only read.
Result<ByteBuffer> unpack_payload(std::span<const std::uint8_t> payload);

}  // namespace lbw
