#include "core/base/native_thread.h"

#include <cxxabi.h>

#include <cstring>
#include <utility>

#include "core/base/os_error.h"

namespace vorlisk {
namespace {

struct ThreadStart {
  std::function<void()> body;
  std::shared_ptr<std::atomic<bool>> finished;
};

// Marks the thread finished on every way out, forced unwinding included.
struct FinishedMark {
  std::atomic<bool>& flag;
  ~FinishedMark() { flag.store(true, std::memory_order_release); }
};

// The handler that lets forced unwinding pass binds no object; UBSan's null
// check would take that for a null reference.
__attribute__((no_sanitize("null"))) void* thread_main(void* raw) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(raw));
  FinishedMark mark{*start->finished};
  try {
    start->body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    // A worker's failure is accounted for by its own exit guard.
  }
  return nullptr;
}

}  // namespace

NativeThread::NativeThread(NativeThread&& other) noexcept
    : id_(other.id_), finished_(std::move(other.finished_)), joinable_(other.joinable_) {
  other.joinable_ = false;
}

NativeThread& NativeThread::operator=(NativeThread&& other) noexcept {
  if (this != &other) {
    if (joinable_) pthread_detach(id_);
    id_ = other.id_;
    finished_ = std::move(other.finished_);
    joinable_ = other.joinable_;
    other.joinable_ = false;
  }
  return *this;
}

NativeThread::~NativeThread() {
  if (joinable_) pthread_detach(id_);
}

bool NativeThread::finished() const {
  return finished_ && finished_->load(std::memory_order_acquire);
}

void NativeThread::join() {
  if (!joinable_) return;
  joinable_ = false;
  pthread_join(id_, nullptr);
}

void NativeThread::detach() {
  if (!joinable_) return;
  joinable_ = false;
  pthread_detach(id_);
}

std::variant<NativeThread, std::string> spawn_native_thread(std::function<void()> body,
                                                            size_t stack_size,
                                                            const char* name) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  if (stack_size != 0) {
    const int rc = pthread_attr_setstacksize(&attr, stack_size);
    if (rc != 0) {
      pthread_attr_destroy(&attr);
      return os_error_text(rc);
    }
  }
  auto finished = std::make_shared<std::atomic<bool>>(false);
  auto* start = new ThreadStart{std::move(body), finished};
  pthread_t id{};
  const int rc = pthread_create(&id, &attr, &thread_main, start);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete start;
    return os_error_text(rc);
  }
  if (name != nullptr) {
    char short_name[16] = {};
    std::strncpy(short_name, name, 15);
    pthread_setname_np(id, short_name);
  }
  return NativeThread(id, std::move(finished));
}

}  // namespace vorlisk
