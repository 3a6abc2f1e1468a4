// Starting and joining the chunk runner's worker threads.
//
// POSIX threads rather than std::thread: a failed start or join comes back
// as an error code instead of an exception, and the runner answers both
// without unwinding. The operations go through a small table so that tests
// can make a start or a join fail, or count them; the table is read once per
// chunked run, never per chunk or per element.
#pragma once

#include <pthread.h>

namespace vexol {

struct WorkerThreadOps {
  // Starts `entry(arg)` on a new thread stored in *thread; 0 on success,
  // an error number otherwise (pthread_create's contract).
  int (*start)(pthread_t* thread, void* (*entry)(void*), void* arg);
  // Waits for `thread` to end; 0 on success, an error number otherwise.
  int (*join)(pthread_t thread);
};

// The operations in force: plain pthread_create and pthread_join unless a
// test has installed others.
const WorkerThreadOps& worker_thread_ops();

// For tests only: installs `ops` for the runs that start afterwards, or the
// default operations again when `ops` is null. Not to be called while a
// chunked run is in progress.
void set_worker_thread_ops(const WorkerThreadOps* ops);

}  // namespace vexol
