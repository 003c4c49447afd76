// The product's single allocation path, and the standard library's error
// hooks, replaced so that the executable carries no exception machinery.
// Linked into the shipped executable only; tests use the ordinary ones.
#include <cstdlib>
#include <new>

#include "shell/fault.h"

void* operator new(std::size_t bytes) {
  if (void* block = std::malloc(bytes == 0 ? 1 : bytes)) return block;
  lbw::out_of_memory(bytes);
}

void* operator new[](std::size_t bytes) { return ::operator new(bytes); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

// Containers report sizes beyond what they can hold through these; for this
// program that is an overflowing size calculation, an internal fault.
namespace std {
void __throw_length_error(const char* what) { lbw::internal_fault("standard library", what); }
void __throw_bad_alloc() { lbw::internal_fault("standard library", "allocation size overflow"); }
void __throw_bad_array_new_length() {
  lbw::internal_fault("standard library", "array allocation size overflow");
}
void __throw_out_of_range_fmt(const char* what, ...) {
  lbw::internal_fault("standard library", what);
}
void __throw_logic_error(const char* what) { lbw::internal_fault("standard library", what); }
}  // namespace std
