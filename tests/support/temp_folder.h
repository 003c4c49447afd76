// A fresh folder for each test, removed with everything in it afterwards.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace lbw::test {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::wstring& path() const { return path_; }
  // The path of a name inside the folder.
  std::wstring operator/(std::wstring_view name) const;

 private:
  std::wstring path_;
};

class TempFolderTest : public ::testing::Test {
 protected:
  TempFolder temp_;
};

}  // namespace lbw::test
