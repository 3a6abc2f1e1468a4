// A pool of worker threads that the chunk runner lends its work to.
//
// Starting a thread costs tens of microseconds, as much as a few hundred
// draws, so a call that splits a few thousand draws over two cores would
// spend a good part of its gain on the start. The process keeps one pool
// instead: its workers start lazily, on the first call that wants them, and
// then sleep between calls. A call wakes as many as it can use, works
// beside them, and returns only when each of them has left the call's task.
//
// The pool holds no draws and no seeds: what a call computes depends only on
// the task it hands in, never on which thread ran which part of it.
#pragma once

#include <pthread.h>

#include <atomic>

#include "ffi/worker_threads.h"

namespace vexol {

class WorkerPool {
 public:
  // The most workers one pool starts; a call never uses more.
  static constexpr int kMaxWorkers = 255;

  // `ops` starts and joins the workers; null means the operations in force
  // (worker_thread_ops()) when a worker is started.
  explicit WorkerPool(const WorkerThreadOps* ops = nullptr);
  // Stops and joins every worker. The process pool is never destroyed; this
  // serves pools made for one purpose, such as a test. A join that fails
  // would leave a thread that may still run, so it ends the process.
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

  // Runs task(context) on the calling thread and on up to `helpers` workers
  // at once, and returns when every one of those calls has returned. The
  // task must split its work itself (the chunk runner's tasks claim units
  // from an atomic counter) and be fine with fewer helpers than asked for:
  // the pool starts missing workers first, and a worker that cannot be
  // started leaves its share to the others and the calling thread. While
  // another call holds the pool, the task runs on the calling thread alone.
  void run(void (*task)(void*), void* context, int helpers);

  // Workers started so far.
  int workers();

  // fork() handlers of the process pool: the parent holds the pool's mutex
  // across the fork; the child starts from a pool with no workers (theirs
  // do not exist there) and nothing running, and starts its own on demand.
  void before_fork();
  void after_fork_in_parent();
  void after_fork_in_child();

 private:
  static void* worker_main(void* pool);
  void worker_loop();
  int grow_locked(int wanted);

  const WorkerThreadOps* ops_;
  pthread_mutex_t mutex_;
  pthread_cond_t wake_;  // tickets became available, or the pool stops
  pthread_cond_t done_;  // the last ticket of a run came back
  pthread_t threads_[kMaxWorkers];
  int workers_ = 0;
  bool busy_ = false;
  bool stopping_ = false;
  // A run hands out `tickets_` tickets; a worker takes one, runs the task
  // once and gives it back. `pending_` counts those not given back yet.
  int tickets_ = 0;
  // tickets_ as last published, read without the mutex by workers that
  // spin for a while before they sleep (a hint only: tickets are taken
  // under the mutex).
  std::atomic<int> posted_{0};
  int pending_ = 0;
  void (*task_)(void*) = nullptr;
  void* context_ = nullptr;
};

// The process-wide pool: made on first use, never freed, safe under fork()
// (a child starts with an empty pool and starts its own workers).
WorkerPool& process_worker_pool();

}  // namespace vexol
