// A buffer for a whole file, grown in place in reserved address space.
#include "installer/byte_buffer.h"

#include <algorithm>
#include <cstring>

#include "shell/fault.h"
#include "shell/win32.h"

namespace lbw {
namespace {

// Address space a buffer may grow into without moving. Reserving it costs no
// memory; only pages that are committed and written do.
constexpr std::size_t kRoomToGrow = std::size_t{1} << 30;

void* commit(void* block, std::size_t size) {
  return VirtualAlloc(block, size, MEM_COMMIT, PAGE_READWRITE);
}

}  // namespace

ByteBuffer::~ByteBuffer() {
  if (data_ != nullptr) VirtualFree(data_, 0, MEM_RELEASE);
}

void ByteBuffer::grow(std::size_t size) {
  check(size >= size_, "a buffer asked to grow smaller");
  if (size == size_) return;
  if (size > reserved_) move_to_reservation_for(size);
  // Committing pages that are committed already leaves their bytes alone.
  if (commit(data_, size) == nullptr) out_of_memory(size);
  size_ = size;
}

void ByteBuffer::move_to_reservation_for(std::size_t size) {
  std::size_t reserve = std::max(size, kRoomToGrow);
  void* block = VirtualAlloc(nullptr, reserve, MEM_RESERVE, PAGE_NOACCESS);
  if (block == nullptr) block = VirtualAlloc(nullptr, reserve = size, MEM_RESERVE, PAGE_NOACCESS);
  if (block == nullptr) out_of_memory(size);
  if (size_ != 0) {
    if (commit(block, size_) == nullptr) out_of_memory(size_);
    std::memcpy(block, data_, size_);
  }
  if (data_ != nullptr) VirtualFree(data_, 0, MEM_RELEASE);
  data_ = static_cast<std::uint8_t*>(block);
  reserved_ = reserve;
}

void ByteBuffer::truncate(std::size_t size) {
  check(size <= size_, "a buffer asked to be cut longer");
  size_ = size;
}

}  // namespace lbw
