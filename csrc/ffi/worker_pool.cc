#include "ffi/worker_pool.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace vexol {

WorkerPool::WorkerPool(const WorkerThreadOps* ops) : ops_(ops) {
  pthread_mutex_init(&mutex_, nullptr);
  pthread_cond_init(&wake_, nullptr);
  pthread_cond_init(&done_, nullptr);
}

WorkerPool::~WorkerPool() {
  pthread_mutex_lock(&mutex_);
  stopping_ = true;
  pthread_cond_broadcast(&wake_);
  const int count = workers_;
  pthread_mutex_unlock(&mutex_);
  const WorkerThreadOps& ops = ops_ != nullptr ? *ops_ : worker_thread_ops();
  for (int i = 0; i < count; ++i) {
    const int rc = ops.join(threads_[i]);
    if (rc != 0) {
      // The worker may still be running and touching this object: returning
      // would free memory under it. Nothing sound is left but to stop.
      std::fprintf(stderr, "vexol: joining a worker thread failed (%s); aborting\n",
                   std::strerror(rc));
      std::abort();
    }
  }
  pthread_cond_destroy(&done_);
  pthread_cond_destroy(&wake_);
  pthread_mutex_destroy(&mutex_);
}

void* WorkerPool::worker_main(void* pool) {
  static_cast<WorkerPool*>(pool)->worker_loop();
  return nullptr;
}

namespace {

// How long a worker that finished a task looks for the next one before it
// sleeps. Waking a sleeping thread takes tens of microseconds, as long as a
// few hundred draws: a sampler that calls every few hundred microseconds (a
// Gibbs sweep of a small model) finds its worker still awake.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(150);

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

}  // namespace

void WorkerPool::worker_loop() {
  pthread_mutex_lock(&mutex_);
  for (;;) {
    if (!stopping_ && tickets_ == 0) {
      pthread_mutex_unlock(&mutex_);
      const auto until = std::chrono::steady_clock::now() + kSpinBeforeSleep;
      for (int i = 0; posted_.load(std::memory_order_relaxed) == 0; ++i) {
        cpu_relax();
        if (i % 64 == 63 && std::chrono::steady_clock::now() > until) break;
      }
      pthread_mutex_lock(&mutex_);
    }
    while (!stopping_ && tickets_ == 0) pthread_cond_wait(&wake_, &mutex_);
    if (stopping_) break;
    posted_.store(--tickets_, std::memory_order_relaxed);
    void (*task)(void*) = task_;
    void* context = context_;
    pthread_mutex_unlock(&mutex_);
    task(context);
    pthread_mutex_lock(&mutex_);
    if (--pending_ == 0) pthread_cond_signal(&done_);
  }
  pthread_mutex_unlock(&mutex_);
}

int WorkerPool::grow_locked(int wanted) {
  wanted = std::min(wanted, kMaxWorkers);
  if (workers_ >= wanted) return workers_;
  const WorkerThreadOps& ops = ops_ != nullptr ? *ops_ : worker_thread_ops();
  while (workers_ < wanted) {
    // A failed start is not an error: the workers there are and the calling
    // thread share the work. The next run tries again.
    if (ops.start(&threads_[workers_], &WorkerPool::worker_main, this) != 0) break;
    ++workers_;
  }
  return workers_;
}

void WorkerPool::run(void (*task)(void*), void* context, int helpers) {
  if (helpers <= 0) {
    task(context);
    return;
  }
  pthread_mutex_lock(&mutex_);
  if (busy_) {
    // Another call is using the workers. Waiting for them would serialise
    // the two calls anyway; working alone keeps both going.
    pthread_mutex_unlock(&mutex_);
    task(context);
    return;
  }
  busy_ = true;
  const int available = std::min(helpers, grow_locked(helpers));
  task_ = task;
  context_ = context;
  tickets_ = available;
  posted_.store(available, std::memory_order_relaxed);
  pending_ = available;
  if (available > 0) pthread_cond_broadcast(&wake_);
  pthread_mutex_unlock(&mutex_);

  task(context);

  pthread_mutex_lock(&mutex_);
  // Tickets nobody has taken yet would only find the work done: take them
  // back instead of waiting for their workers to wake.
  pending_ -= tickets_;
  tickets_ = 0;
  posted_.store(0, std::memory_order_relaxed);
  while (pending_ > 0) pthread_cond_wait(&done_, &mutex_);
  task_ = nullptr;
  context_ = nullptr;
  busy_ = false;
  pthread_mutex_unlock(&mutex_);
}

int WorkerPool::workers() {
  pthread_mutex_lock(&mutex_);
  const int count = workers_;
  pthread_mutex_unlock(&mutex_);
  return count;
}

void WorkerPool::before_fork() { pthread_mutex_lock(&mutex_); }

void WorkerPool::after_fork_in_parent() { pthread_mutex_unlock(&mutex_); }

void WorkerPool::after_fork_in_child() {
  // Only the thread that called fork() exists in the child: the workers and
  // any call that was running in another thread are gone. The primitives
  // are made anew rather than unlocked, since their state is the parent's.
  pthread_mutex_init(&mutex_, nullptr);
  pthread_cond_init(&wake_, nullptr);
  pthread_cond_init(&done_, nullptr);
  workers_ = 0;
  busy_ = false;
  stopping_ = false;
  tickets_ = 0;
  posted_.store(0, std::memory_order_relaxed);
  pending_ = 0;
  task_ = nullptr;
  context_ = nullptr;
}

namespace {

WorkerPool* process_pool = nullptr;

// Holding the pool's mutex across fork() means no worker holds it at the
// moment of the copy, so the child's copy is never left locked.
void prepare_fork() { process_pool->before_fork(); }
void parent_after_fork() { process_pool->after_fork_in_parent(); }
void child_after_fork() { process_pool->after_fork_in_child(); }

WorkerPool* make_process_pool() {
  process_pool = new WorkerPool();
  pthread_atfork(&prepare_fork, &parent_after_fork, &child_after_fork);
  return process_pool;
}

}  // namespace

WorkerPool& process_worker_pool() {
  // Made once (thread-safe static initialisation) and never freed: workers
  // may sleep in it until the process ends.
  static WorkerPool* const pool = make_process_pool();
  return *pool;
}

}  // namespace vexol
