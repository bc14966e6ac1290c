#pragma once
// A worker process of `--jobs` (`glomora worker`, started by worker_pool.h):
// builds the scene it is sent, then evaluates and writes the frames it is
// handed, one at a time, until its coordinator closes the stream.

// The worker's side, talking over descriptor `fd` (worker_protocol.h) to its
// coordinator, process `parent`; returns the exit status.
int RunWorker(int fd, long parent);
