// A growable block of bytes for whole files in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace lbw {

// Owns bytes in pages of their own. The system hands out pages zeroed, so a
// buffer costs memory only where it has been written: a decoding buffer that
// is twice as large as the file it ends up holding does not double the
// program's footprint. Move-only.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    ByteBuffer old(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  // Grows to `size` bytes (at least the present size), keeping the bytes held
  // and zeroing the new ones. false, with the buffer unchanged, when the
  // system refuses the memory.
  [[nodiscard]] bool try_grow(std::size_t size);

  // The same; memory the system refuses ends the process.
  void grow(std::size_t size);

  // Drops the bytes from `size` on.
  void truncate(std::size_t size);

  std::uint8_t* data() { return data_; }
  std::size_t size() const { return size_; }
  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

 private:
  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace lbw
