#include "ffi/worker_threads.h"

#include <atomic>

namespace vexol {
namespace {

int posix_start(pthread_t* thread, void* (*entry)(void*), void* arg) {
  return pthread_create(thread, nullptr, entry, arg);
}

int posix_join(pthread_t thread) { return pthread_join(thread, nullptr); }

constexpr WorkerThreadOps kPosixOps{&posix_start, &posix_join};

std::atomic<const WorkerThreadOps*> installed_ops{&kPosixOps};

}  // namespace

const WorkerThreadOps& worker_thread_ops() {
  return *installed_ops.load(std::memory_order_acquire);
}

void set_worker_thread_ops(const WorkerThreadOps* ops) {
  installed_ops.store(ops != nullptr ? ops : &kPosixOps, std::memory_order_release);
}

}  // namespace vexol
