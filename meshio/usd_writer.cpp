#include "usd_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "atomic_file.h"
#include "file_names.h"

namespace {

constexpr size_t kCopyChunk = size_t{1} << 20;

std::string ErrnoText() { return std::strerror(errno); }

std::string FolderOf(const std::string& path) {
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  return folder.empty() ? std::string(".") : folder.string();
}

// A file of no name in `folder`: O_TMPFILE where the file system has it,
// else a name removed as soon as the file is open.
int OpenNamelessFile(const std::string& folder, const std::string& path, std::string& error) {
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  const std::string named = TemporaryFileName(path, ::getpid()) + ".samples";
  fd = ::open(named.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = "cannot keep the frames' samples in " + folder + " (" + ErrnoText() + ")";
    return -1;
  }
  ::unlink(named.c_str());
  return fd;
}

// The shortest text that reads back to `value`.
std::string NumberText(double value) {
  char text[32];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// `text` as a USD string: on one line, quotes and backslashes escaped.
std::string QuotedText(std::string_view text) {
  std::string quoted = "\"";
  for (const char c : OneLine(text)) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

}  // namespace

std::string UsdPrimName(std::string_view name) {
  std::string prim;
  for (const char c : name) {
    const bool word = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    prim += word ? c : '_';
  }
  if (prim.empty() || (prim[0] >= '0' && prim[0] <= '9')) prim.insert(prim.begin(), '_');
  return prim;
}

UsdLayerWriter::~UsdLayerWriter() { Close(); }

bool UsdLayerWriter::Open(const std::string& path, std::string& error) {
  Close();
  if (!MakeParentFolder(path, error)) return false;
  fd_ = OpenNamelessFile(FolderOf(path), path, error);
  if (fd_ < 0) return false;
  path_ = path;
  return true;
}

bool UsdLayerWriter::Append(std::string_view bytes, std::string& error) {
  size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::pwrite(fd_, bytes.data() + written, bytes.size() - written,
                               static_cast<off_t>(size_ + written));
    if (n < 0) {
      if (errno == EINTR) continue;
      error = "cannot keep the frames' samples beside " + path_ + " (" + ErrnoText() + ")";
      return false;
    }
    written += static_cast<size_t>(n);
  }
  size_ += bytes.size();
  return true;
}

bool UsdLayerWriter::Add(const UsdFrameSamples& samples, std::string& error) {
  Frame frame;
  bool ok = true;
  for (size_t a = 0; a < kUsdAttributeCount; ++a) {
    frame.pieces[a].offset = size_;
    samples.Format(static_cast<UsdAttribute>(a), [&](std::string_view piece) { ok = ok && Append(piece, error); });
    if (!ok) return false;
    frame.pieces[a].length = size_ - frame.pieces[a].offset;
    used_[a] = used_[a] || samples.Has(static_cast<UsdAttribute>(a));
  }
  frames_[samples.Frame()] = frame;
  return true;
}

bool UsdLayerWriter::AddPacked(std::string_view packed, std::string& error) {
  UnpackedUsdFrame unpacked;
  if (!UnpackUsdFrame(packed, unpacked, error)) return false;
  Frame frame;
  for (size_t a = 0; a < kUsdAttributeCount; ++a) {
    frame.pieces[a].offset = size_;
    if (!Append(unpacked.lines[a], error)) return false;
    frame.pieces[a].length = unpacked.lines[a].size();
    used_[a] = used_[a] || unpacked.has[a];
  }
  frames_[unpacked.frame] = frame;
  return true;
}

bool UsdLayerWriter::Finish(const UsdStage& stage, std::string& error) {
  if (fd_ < 0 || frames_.empty()) {
    error = "no frame to write";
    Close();
    return false;
  }
  // 1) the stage's metadata and the prims' openings
  std::string head = "#usda 1.0\n(\n";
  head += "    doc = " + QuotedText(stage.comment) + "\n";
  head += "    defaultPrim = \"root\"\n";
  head += "    startTimeCode = " + std::to_string(frames_.begin()->first) + "\n";
  head += "    endTimeCode = " + std::to_string(frames_.rbegin()->first) + "\n";
  head += "    timeCodesPerSecond = " + NumberText(stage.framesPerSecond) + "\n";
  head += "    framesPerSecond = " + NumberText(stage.framesPerSecond) + "\n";
  head += "    upAxis = " + QuotedText(stage.upAxis) + "\n";
  head += "    metersPerUnit = " + NumberText(stage.metersPerUnit) + "\n";
  head += ")\n\ndef Xform \"root\"\n{\n    def Mesh \"" + UsdPrimName(stage.meshName) + "\"\n    {\n";

  // 2) each attribute's samples in frame order, copied from the samples' file
  std::vector<char> buffer(kCopyChunk);
  const auto copy = [&](const Piece& piece, const ByteSink& sink) {
    for (uint64_t done = 0; done < piece.length;) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, piece.length - done));
      const ssize_t n = ::pread(fd_, buffer.data(), want, static_cast<off_t>(piece.offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("cannot read the frames' samples back (" + ErrnoText() + ")");
      sink(std::string_view(buffer.data(), static_cast<size_t>(n)));
      done += static_cast<uint64_t>(n);
    }
  };
  const auto produce = [&](const ByteSink& sink) {
    sink(head);
    for (size_t a = 0; a < kUsdAttributeCount; ++a) {
      if (!used_[a]) continue;
      const UsdAttributeInfo& info = UsdAttributeOf(static_cast<UsdAttribute>(a));
      const std::string declaration = "        " + std::string(info.declaration);
      if (!info.interpolation.empty()) {
        sink(declaration + " (\n            interpolation = \"" + std::string(info.interpolation) + "\"\n        )\n");
      }
      sink(declaration + ".timeSamples = {\n");
      for (const auto& [frame, pieces] : frames_) copy(pieces.pieces[a], sink);
      sink("        }\n");
    }
    sink("        uniform token orientation = \"rightHanded\"\n"
         "        uniform token subdivisionScheme = \"none\"\n"
         "    }\n}\n");
  };

  // 3) the layer under a temporary name, renamed when whole
  bool written = false;
  try {
    written = WriteFileAtomically(path_, produce, error);
  } catch (const std::exception& e) {
    error = e.what();
  }
  Close();
  return written;
}

void UsdLayerWriter::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  size_ = 0;
  frames_.clear();
  used_.fill(false);
}
