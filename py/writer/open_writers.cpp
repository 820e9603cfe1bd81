#include "py/writer/open_writers.h"

#include <pthread.h>

#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>

namespace vorlisk::py {
namespace {

// Every member takes `mutex_`; between before_fork and after_fork the
// thread that forks holds it.
class OpenWriters {
 public:
  void add(const std::shared_ptr<WriterHandle>& writer) {
    std::lock_guard lock(mutex_);
    writers_.insert_or_assign(writer.get(), Entry{writer.get(), writer, std::nullopt});
  }

  void remove(const WriterHandle& writer) {
    std::lock_guard lock(mutex_);
    writers_.erase(&writer);
  }

  std::vector<std::shared_ptr<WriterHandle>> live() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<WriterHandle>> result;
    result.reserve(writers_.size());
    for (const auto& [key, entry] : writers_) {
      if (auto owned = entry.writer.lock()) result.push_back(std::move(owned));
    }
    return result;
  }

  // The fork() handlers. Nothing is allocated and no reference count
  // changes between them: the writers are reached without owning them, so
  // releasing the locks can never be what destroys a writer.
  void before_fork() noexcept {
    fork_hold_ = std::unique_lock(mutex_);
    for (auto& [key, entry] : writers_) entry.fork_locks.emplace(entry.handle->lock_for_fork());
  }

  void after_fork(bool in_child) noexcept {
    for (auto& [key, entry] : writers_) {
      if (in_child && entry.fork_locks) {
        entry.handle->forget_worker_after_fork(*entry.fork_locks);
      }
      entry.fork_locks.reset();
    }
    if (fork_hold_.owns_lock()) fork_hold_.unlock();
  }

 private:
  struct Entry {
    WriterHandle* handle;  // alive while tracked
    std::weak_ptr<WriterHandle> writer;
    // Held by the thread that forks, across fork().
    std::optional<WriterHandle::ForkLocks> fork_locks;
  };

  std::mutex mutex_;
  std::unordered_map<const WriterHandle*, Entry> writers_;
  std::unique_lock<std::mutex> fork_hold_;  // `mutex_`, across fork()
};

// Never destroyed: writers may outlive the C++ runtime's static destructors.
OpenWriters& open_writer_registry() {
  static auto* writers = new OpenWriters;
  return *writers;
}

void before_fork() { open_writer_registry().before_fork(); }
void after_fork_in_parent() { open_writer_registry().after_fork(false); }
void after_fork_in_child() { open_writer_registry().after_fork(true); }

}  // namespace

void track_open_writer(const std::shared_ptr<WriterHandle>& writer) {
  open_writer_registry().add(writer);
}

void untrack_open_writer(const WriterHandle& writer) { open_writer_registry().remove(writer); }

std::vector<std::shared_ptr<WriterHandle>> open_writers() { return open_writer_registry().live(); }

bool install_writer_fork_handlers() {
  static const bool installed =
      pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
  return installed;
}

}  // namespace vorlisk::py
