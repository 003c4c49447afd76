#include "installer/byte_buffer.h"

#include <cstring>

#include "shell/fault.h"
#include "shell/win32.h"

namespace lbw {

ByteBuffer::~ByteBuffer() {
  if (data_ != nullptr) VirtualFree(data_, 0, MEM_RELEASE);
}

bool ByteBuffer::try_grow(std::size_t size) {
  LBW_CHECK(size >= size_, "a buffer asked to grow smaller");
  if (size == size_) return true;
  auto* grown =
      static_cast<std::uint8_t*>(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
  if (grown == nullptr) return false;
  if (size_ != 0) std::memcpy(grown, data_, size_);
  ByteBuffer old(std::move(*this));
  data_ = grown;
  size_ = size;
  return true;
}

void ByteBuffer::grow(std::size_t size) {
  if (!try_grow(size)) out_of_memory(size);
}

void ByteBuffer::truncate(std::size_t size) {
  LBW_CHECK(size <= size_, "a buffer asked to be cut longer");
  size_ = size;
}

}  // namespace lbw
