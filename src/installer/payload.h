// The two files the installer carries, each one embedded zlib stream, and
// their unpacking into memory.
#pragma once

#include <cstdint>
#include <span>

namespace lbw {

// The compressed loader library (WebView2Loader.dll) and application
// (lirabel-warden.exe), back to back in read-only data; start and exact length
// are fixed by the build.
extern const std::span<const std::uint8_t> loader_payload;
extern const std::span<const std::uint8_t> app_payload;

}  // namespace lbw
