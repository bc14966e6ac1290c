#pragma once
// A fresh folder under /tmp for one test, removed with all it holds when the
// test ends.

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "glomora") {
    std::string name = "/tmp/" + prefix + "_XXXXXX";
    if (::mkdtemp(name.data()) == nullptr) throw std::runtime_error("cannot make a folder under /tmp");
    path_ = name;
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};
