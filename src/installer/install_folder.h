// Where the application is installed, and making sure that folder exists.
#pragma once

#include <string>
#include <string_view>

#include "installer/result.h"

namespace lbw {

// The two files the install folder receives.
inline constexpr std::wstring_view kApplicationFileName = L"lirabel-warden.exe";
inline constexpr std::wstring_view kLoaderFileName = L"WebView2Loader.dll";

// The install folder: LBW_DATA joined with "programm" when that variable is
// there at all (even empty); otherwise LOCALAPPDATA joined with "Programs" and
// "Lirabel Warden". Values are used exactly as the system gives them.
Result<std::wstring> settle_install_folder();

// Creates the folder together with every missing parent. An existing folder,
// also behind a link, is no error. Folders created before a failure stay.
Status create_install_folder(std::wstring_view folder);

}  // namespace lbw
