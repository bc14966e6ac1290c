#pragma once
// ByteSink, where the writers hand a file's bytes in order, and ChunkBuffer,
// the one reused buffer that a writer formats into before each full chunk
// goes to the sink.

#include <cstring>
#include <functional>
#include <string>
#include <string_view>

using ByteSink = std::function<void(std::string_view)>;
constexpr size_t kWriterChunk = size_t{1} << 20;

// Copies `text` to `at`; returns the end.
inline char* Put(char* at, std::string_view text) {
  std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

// The output, formatted in place into one reused chunk: a caller asks for
// room for at most n bytes, formats into it (std::to_chars) and says where it
// ended; a full chunk goes to the sink.
class ChunkBuffer {
 public:
  explicit ChunkBuffer(const ByteSink& sink) : sink_(sink) { bytes_.resize(kWriterChunk); }

  char* Room(size_t n) {
    if (bytes_.size() - used_ < n) {
      Flush();
      if (bytes_.size() < n) bytes_.resize(n);
    }
    return bytes_.data() + used_;
  }
  void EndAt(const char* end) { used_ = static_cast<size_t>(end - bytes_.data()); }
  void Append(std::string_view text) {
    if (text.size() > kWriterChunk) {
      Flush();
      sink_(text);
      return;
    }
    EndAt(Put(Room(text.size()), text));
  }
  void Flush() {
    if (used_ > 0) sink_(std::string_view(bytes_.data(), used_));
    used_ = 0;
  }

 private:
  const ByteSink& sink_;
  std::string bytes_;
  size_t used_ = 0;
};

// `text` with its line breaks turned into spaces: a comment must stay on its line.
inline std::string OneLine(std::string_view text) {
  std::string line(text);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  return line;
}
