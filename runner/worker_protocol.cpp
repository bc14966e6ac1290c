#include "worker_protocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

using Json = nlohmann::ordered_json;

bool SendLine(int fd, const Json& message) {
  const std::string line = message.dump() + "\n";
  size_t sent = 0;
  while (sent < line.size()) {
    const ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

bool LineBuffer::Fill(int fd) {
  char chunk[65536];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes_.append(chunk, static_cast<size_t>(n));
    return true;
  }
}

bool LineBuffer::Next(std::string& line) {
  const size_t end = bytes_.find('\n', start_);
  if (end == std::string::npos) {
    bytes_.erase(0, start_);
    start_ = 0;
    return false;
  }
  line.assign(bytes_, start_, end - start_);
  start_ = end + 1;
  return true;
}

Json RunRequest(const RunOptions& options, int64_t first, int64_t last, uint64_t memoryLimit, int threads) {
  Json request;
  request["source"] = {{"text", options.source.text},
                       {"base_dir", options.source.baseDir.string()},
                       {"overrides", options.source.overrides},
                       {"name", options.source.name}};
  request["label"] = options.label;
  request["output"] = options.output;
  request["usd"] = options.usd;
  request["first"] = first;
  request["last"] = last;
  request["check"] = options.check;
  request["stats"] = options.stats;
  request["memory_limit"] = memoryLimit;
  request["threads"] = threads;
  return request;
}

Json FrameReport(FrameRecord record) {
  Json report;
  report["done"] = record.frame;
  report["file"] = record.file;
  report["vertices"] = record.vertices;
  report["polygons"] = record.polygons;
  report["empty"] = record.empty;
  report["check"] = record.checkLine;
  report["stats"] = std::move(record.stats);
  return report;
}

FrameRecord RecordOfReport(Json& report) {
  FrameRecord record;
  record.frame = report["done"].get<int64_t>();
  record.file = report["file"].get<std::string>();
  record.vertices = report["vertices"].get<size_t>();
  record.polygons = report["polygons"].get<size_t>();
  record.empty = report["empty"].get<bool>();
  record.checkLine = report["check"].get<std::string>();
  record.stats = std::move(report["stats"]);
  return record;
}
