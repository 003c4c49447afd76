// A growable block of bytes for a whole file in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace lbw {

// Owns bytes in pages of their own. Pages come from the system zeroed and
// cost memory only once written, and room to grow is reserved up front: a
// buffer that doubles commits more pages where its bytes are instead of
// copying them elsewhere. Move-only.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        reserved_(std::exchange(other.reserved_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    ByteBuffer old(std::move(*this));
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    reserved_ = std::exchange(other.reserved_, 0);
    return *this;
  }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer();

  // Grows to `size` bytes (at least the present size), keeping the bytes held
  // and zeroing the new ones. Memory the system refuses ends the process.
  void grow(std::size_t size);

  // Drops the bytes from `size` on.
  void truncate(std::size_t size);

  std::uint8_t* data() { return data_; }
  std::size_t size() const { return size_; }
  std::span<const std::uint8_t> bytes() const { return {data_, size_}; }

 private:
  void move_to_reservation_for(std::size_t size);

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t reserved_ = 0;
};

}  // namespace lbw
