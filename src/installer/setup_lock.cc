#include "installer/setup_lock.h"

#include <cstdint>

#include "installer/file_system.h"
#include "installer/paths.h"

namespace lbw {
namespace {

constexpr std::wstring_view kLockNameStart = L"Local\\Lirabel Warden Setup ";

std::uint64_t fnv1a(std::wstring_view units) {
  std::uint64_t hash = 0xCBF29CE484222325;
  for (const wchar_t unit : units) {
    const wchar_t folded = unit >= L'a' && unit <= L'z' ? unit - L'a' + L'A' : unit;
    for (const unsigned byte : {folded & 0xFFu, (folded >> 8) & 0xFFu}) {
      hash = (hash ^ byte) * 0x100000001B3;
    }
  }
  return hash;
}

}  // namespace

std::wstring setup_lock_name(std::wstring_view full_install_folder) {
  const std::uint64_t hash = fnv1a(extended_form_of_full_path(full_install_folder));
  std::wstring name(kLockNameStart);
  for (int shift = 60; shift >= 0; shift -= 4) name += L"0123456789ABCDEF"[(hash >> shift) & 0xF];
  return name;
}

SetupLock::SetupLock(std::wstring_view install_folder, unsigned long wait_ms) {
  OsResult<std::wstring> full = full_path_of(install_folder);
  if (!full.ok()) return;
  mutex_.reset(CreateMutexW(nullptr, FALSE, setup_lock_name(full.value()).c_str()));
  if (!mutex_) return;
  const DWORD waited = WaitForSingleObject(mutex_.borrow(), wait_ms);
  held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

SetupLock::~SetupLock() {
  if (held_) ReleaseMutex(mutex_.borrow());
}

}  // namespace lbw
