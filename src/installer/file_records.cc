// The bytes of the records that rename and delete a file through its handle.
#include "installer/file_records.h"

#include <cstring>

namespace lbw {
namespace {

constexpr std::uint32_t kDispositionDelete = 0x1;
constexpr std::uint32_t kDispositionPosixSemantics = 0x2;
constexpr std::uint32_t kDispositionIgnoreReadOnly = 0x10;

// Where FILE_RENAME_INFO keeps its members on x86-64.
constexpr std::size_t kRenameRootFolderOffset = 8;
constexpr std::size_t kRenameNameLengthOffset = 16;
constexpr std::size_t kRenameNameOffset = 20;

FileInfoRecord zeroed_record(std::size_t size) {
  FileInfoRecord record;
  record.bytes.reset(static_cast<std::uint8_t*>(std::calloc(size, 1)));
  if (record.bytes) record.size = size;
  return record;
}

void put_uint32(std::uint8_t* at, std::uint32_t value) { std::memcpy(at, &value, sizeof value); }

}  // namespace

FileInfoRecord rename_record(std::wstring_view target, std::uint32_t flags) {
  const std::size_t name_bytes = target.size() * sizeof(wchar_t);
  if (name_bytes > UINT32_MAX) return {};
  FileInfoRecord record = zeroed_record(kRenameNameOffset + name_bytes + sizeof(wchar_t));
  if (!record.bytes) return record;
  std::uint8_t* bytes = record.bytes.get();
  put_uint32(bytes, flags);
  static_assert(kRenameNameLengthOffset - kRenameRootFolderOffset == sizeof(void*));
  put_uint32(bytes + kRenameNameLengthOffset, static_cast<std::uint32_t>(name_bytes));
  std::memcpy(bytes + kRenameNameOffset, target.data(), name_bytes);  // the terminator is zeroed
  return record;
}

FileInfoRecord disposition_record() {
  FileInfoRecord record = zeroed_record(sizeof(std::uint32_t));
  if (record.bytes) {
    put_uint32(record.bytes.get(),
               kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly);
  }
  return record;
}

}  // namespace lbw
