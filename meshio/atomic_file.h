#pragma once
// Reading whole files, and writing files so that no half-written file is ever
// left under the final name.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// Reads the whole file; false with a message in `error` when it cannot.
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>& bytes, std::string& error);

// Writes `bytes` to a temporary file in the folder of `path`, then renames it
// to `path` (replacing an older file). On failure the temporary file is
// removed and `error` says why. While the write runs, the temporary name is
// registered for RemovePendingTemporaryFile.
bool WriteFileAtomically(const std::string& path, std::string_view bytes, std::string& error);

// The same for a file made in pieces: `produce` hands the bytes, in order, to
// the sink it is given, which writes them to the temporary file.
using FileProducer = std::function<void(const std::function<void(std::string_view)>& sink)>;
bool WriteFileAtomically(const std::string& path, const FileProducer& produce, std::string& error);

// The temporary name WriteFileAtomically uses for `path` in process `pid`:
// ".NAME.PID.tmp" in the same folder.
std::string TemporaryFileName(const std::string& path, long pid);

// Removes the temporary file of a write in progress, if any. Async-signal-safe:
// a signal handler calls it before _exit.
void RemovePendingTemporaryFile() noexcept;
