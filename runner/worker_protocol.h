#pragma once
// The conversation of a coordinator (worker_pool.h) with its worker processes
// (worker_process.h) over a socket: one JSON object per line.
//
//   coordinator -> worker   {"source": {...}, "output": ..., ...}   the run (once); with "usd", the
//                                                                  worker packs each frame's USD samples,
//                                                                  velocities too (usd_shot.h), before its "done"
//                           {"frame": N}                           evaluate and write frame N
//                           end of stream                          no more frames: exit
//   worker -> coordinator   {"ready": true}                        the scene is built
//                           {"log": TEXT}                          a host log line to show
//                           {"done": N, "file": ..., "stats": ...} frame N is written
//                           {"error": TEXT, "failure": NAME}       the worker failed and exits
//                                                                  (NAME: run_failure.h); with
//                                                                  "stats", the --stats entry of the
//                                                                  frame that failed

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "run_options.h"
#include "scene_session.h"

// The descriptor a worker talks on.
constexpr int kWorkerFd = 3;

// Sends one JSON line; false when the other side is gone.
bool SendLine(int fd, const nlohmann::ordered_json& message);

// Whole lines out of a byte stream.
class LineBuffer {
 public:
  // Reads what is there (blocking when `fd` is); false at the end of the stream or on an error.
  bool Fill(int fd);
  bool Next(std::string& line);

 private:
  std::string bytes_;
  size_t start_ = 0;
};

// The run a worker is sent first: frames first..last of `options`' scene,
// the worker's share of the memory limit and its threads.
nlohmann::ordered_json RunRequest(const RunOptions& options, int64_t first, int64_t last, uint64_t memoryLimit,
                                  int threads);

// A worker's report of a written frame, and the record it carries.
nlohmann::ordered_json FrameReport(FrameRecord record);
FrameRecord RecordOfReport(nlohmann::ordered_json& report);
