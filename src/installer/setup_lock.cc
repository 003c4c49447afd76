// The turn that runs into one install folder take: a named mutex per folder,
// named after the folder's identity on disk, or else after its path.
#include "installer/setup_lock.h"

#include <cstring>
#include <optional>

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

// Whether every byte of the id is `value`.
bool is_all(const std::array<std::uint8_t, 16>& id, std::uint8_t value) {
  for (const std::uint8_t byte : id) {
    if (byte != value) return false;
  }
  return true;
}

// The identity of the folder the path leads to, following links. The 128-bit
// id (FileIdInfo) is what ReFS needs; where that class is refused or gives no
// id, the older call's 64-bit index is the id, as on NTFS.
std::optional<FolderIdentity> identity_of_folder(std::wstring_view folder) {
  OsResult<UniqueFile> opened =
      open_file(folder, 0, kShareAll, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
  if (!opened.ok()) return std::nullopt;
  const HANDLE handle = opened.value().borrow();
  std::optional<FolderIdentity> by_id;
  FILE_ID_INFO id_info;
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &id_info, sizeof id_info)) {
    by_id.emplace().volume_serial = id_info.VolumeSerialNumber;
    std::memcpy(by_id->file_id.data(), id_info.FileId.Identifier, by_id->file_id.size());
  }
  std::optional<FolderIndex> by_index;
  BY_HANDLE_FILE_INFORMATION information;
  if (GetFileInformationByHandle(handle, &information)) {
    by_index =
        FolderIndex{information.dwVolumeSerialNumber,
                    (std::uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
  }
  return identity_to_name_turn(by_id, by_index);
}

std::optional<std::wstring> lock_name_of(std::wstring_view install_folder) {
  if (std::optional<FolderIdentity> identity = identity_of_folder(install_folder)) {
    return setup_lock_name(*identity);
  }
  OsResult<std::wstring> full = full_path_of(install_folder);
  if (!full.ok()) return std::nullopt;
  return setup_lock_name(full.value());
}

}  // namespace

std::optional<FolderIdentity> identity_to_name_turn(const std::optional<FolderIdentity>& by_id,
                                                    const std::optional<FolderIndex>& by_index) {
  if (by_id && !is_all(by_id->file_id, 0x00) && !is_all(by_id->file_id, 0xFF)) return by_id;
  if (!by_index || by_index->file_index == 0 || by_index->file_index == UINT64_MAX) {
    return std::nullopt;
  }
  FolderIdentity identity{by_index->volume_serial, {}};
  std::memcpy(identity.file_id.data(), &by_index->file_index, sizeof by_index->file_index);
  return identity;
}

std::wstring setup_lock_name(const FolderIdentity& identity) {
  std::wstring name(kLockNameStart);
  append_hex(name, identity.volume_serial, 16);
  name += L'-';
  for (const std::uint8_t byte : identity.file_id) append_hex(name, byte, 2);
  return name;
}

std::wstring setup_lock_name(std::wstring_view full_install_folder) {
  std::wstring name(kLockNameStart);
  append_hex(name, fnv1a(extended_form_of_full_path(full_install_folder)), 16);
  return name;
}

SetupLock::SetupLock(std::wstring_view install_folder, unsigned long wait_ms) {
  const std::optional<std::wstring> name = lock_name_of(install_folder);
  if (!name) return;
  mutex_.reset(CreateMutexW(nullptr, FALSE, name->c_str()));
  if (!mutex_) return;
  const DWORD waited = WaitForSingleObject(mutex_.borrow(), wait_ms);
  held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

SetupLock::~SetupLock() {
  if (held_) ReleaseMutex(mutex_.borrow());
}

}  // namespace lbw
