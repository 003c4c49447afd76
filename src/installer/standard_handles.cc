// The copies of the standard handles that the application inherits, and the
// list that limits inheritance to them.
#include "installer/standard_handles.h"

namespace lbw {

StandardHandleCopies::~StandardHandleCopies() {
  if (list_ != nullptr) DeleteProcThreadAttributeList(list_);
}

OsResult<> StandardHandleCopies::make() {
  for (auto [which, copy] :
       {std::pair{STD_INPUT_HANDLE, &input_}, std::pair{STD_OUTPUT_HANDLE, &output_},
        std::pair{STD_ERROR_HANDLE, &error_}}) {
    if (OsResult<> copied = this->copy(which, *copy); !copied.ok()) return copied;
  }
  for (const UniqueKernelHandle* copy : {&input_, &output_, &error_}) {
    if (*copy) listed_handles_[listed_++] = copy->borrow();
  }
  return any() ? make_list() : OsResult<>();
}

OsResult<> StandardHandleCopies::copy(DWORD which, UniqueKernelHandle& copy) {
  const HANDLE original = GetStdHandle(which);
  if (original == nullptr || original == INVALID_HANDLE_VALUE) return {};
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &duplicate, 0, TRUE,
                       DUPLICATE_SAME_ACCESS)) {
    return os_error(GetLastError());
  }
  copy.reset(duplicate);
  return {};
}

OsResult<> StandardHandleCopies::make_list() {
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);  // only asks for the size
  list_memory_ = std::make_unique<std::uint8_t[]>(size);
  auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory_.get());
  if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return os_error(GetLastError());
  list_ = list;
  if (!UpdateProcThreadAttribute(list_, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, listed_handles_,
                                 listed_ * sizeof(HANDLE), nullptr, nullptr)) {
    return os_error(GetLastError());
  }
  return {};
}

void StandardHandleCopies::hand_to(STARTUPINFOEXW& startup) const {
  if (!any()) return;
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = input_.borrow();
  startup.StartupInfo.hStdOutput = output_.borrow();
  startup.StartupInfo.hStdError = error_.borrow();
  startup.lpAttributeList = list_;
}

}  // namespace lbw
