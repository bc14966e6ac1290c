#include "file_names.h"

#include <cctype>
#include <filesystem>

bool HoldsNul(std::string_view name) { return name.find('\0') != std::string_view::npos; }

bool CheckFileName(std::string_view what, std::string_view name, std::string& error) {
  if (!HoldsNul(name)) return true;
  error = std::string(what) + ": " + std::string(kNulInFileName);
  return false;
}

std::string LowerExtension(std::string_view path) {
  std::string extension = std::filesystem::path(path).extension().string();
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

bool MakeParentFolder(const std::string& path, std::string& error) {
  // The system would make the folder of the name up to the NUL.
  if (HoldsNul(path)) {
    error = kNulInFileName;
    return false;
  }
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::error_code failure;
  if (folder.empty() || std::filesystem::create_directories(folder, failure) || !failure) return true;
  error = "cannot make the folder " + folder.string() + " (" + failure.message() + ")";
  return false;
}
