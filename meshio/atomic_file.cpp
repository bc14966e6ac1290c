#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>

#include "file_names.h"

namespace {

// The temporary name of the write in progress, for the signal handler. The
// name is complete before the flag is raised and the flag drops before the
// name changes, so the handler never sees a half-written name.
char pendingPath[4096];
volatile std::sig_atomic_t pendingSet = 0;

std::string ErrnoText() { return std::strerror(errno); }

}  // namespace

bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
  bytes.clear();
  if (HoldsNul(path)) {
    error = kNulInFileName;
    return false;
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error = ErrnoText();
    return false;
  }
  struct stat info {};
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);
    error = "is a folder";
    return false;
  }
  if (info.st_size > 0) bytes.reserve(static_cast<size_t>(info.st_size));
  uint8_t buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      error = ErrnoText();
      ::close(fd);
      bytes.clear();
      return false;
    }
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  ::close(fd);
  return true;
}

std::string TemporaryFileName(const std::string& path, long pid) {
  const std::filesystem::path target(path);
  std::string tempName = ".";
  tempName += target.filename().string();
  tempName += '.';
  tempName += std::to_string(pid);
  tempName += ".tmp";
  return (target.parent_path() / tempName).string();
}

bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string& error) {
  return WriteFileAtomically(path, [bytes](const std::function<void(std::string_view)>& sink) { sink(bytes); }, error);
}

bool WriteFileAtomically(const std::string& path, const FileProducer& produce, std::string& error) {
  if (HoldsNul(path)) {
    error = kNulInFileName;
    return false;
  }
  // 1) temporary name next to the target
  const std::string temp = TemporaryFileName(path, ::getpid());
  if (temp.size() + 1 > sizeof pendingPath) {
    error = "the file name is too long";
    return false;
  }
  std::memcpy(pendingPath, temp.c_str(), temp.size() + 1);
  pendingSet = 1;

  // 2) write it whole
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST) {
    ::unlink(temp.c_str());  // left by an earlier process with the same id
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  }
  if (fd < 0) {
    error = ErrnoText();
    pendingSet = 0;
    return false;
  }
  bool ok = true;
  const auto sink = [&](std::string_view bytes) {
    size_t written = 0;
    while (ok && written < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + written, bytes.size() - written);
      if (n < 0) {
        if (errno == EINTR) continue;
        ok = false;
        error = ErrnoText();
        break;
      }
      written += static_cast<size_t>(n);
    }
  };
  try {
    produce(sink);
  } catch (...) {
    ::close(fd);
    ::unlink(temp.c_str());
    pendingSet = 0;
    throw;
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = ErrnoText();
  }

  // 3) publish it under the final name, or remove it
  if (ok && ::rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    error = ErrnoText();
  }
  if (!ok) ::unlink(temp.c_str());
  pendingSet = 0;
  return ok;
}

void RemovePendingTemporaryFile() noexcept {
  if (pendingSet) ::unlink(pendingPath);
}
