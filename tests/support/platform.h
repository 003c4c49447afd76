// Where a test program runs: under Wine or on Windows itself, and in the build
// tree or from the test bundle, a folder made to be copied to a Windows machine.
#pragma once

#include <string>
#include <string_view>

namespace lbw::test {

// Wine's NTDLL.DLL exports wine_get_version; that of Windows does not.
bool running_under_wine();

// The test bundle holds its marker file, test-bundle.txt, beside the test programs.
bool running_from_test_bundle();

// A file the tests start or read, named by its place on the build machine. From
// the test bundle it is the file of the same name beside the test program;
// otherwise it is the build machine's file as Wine sees it.
std::wstring test_file(std::string_view host_path);

}  // namespace lbw::test
