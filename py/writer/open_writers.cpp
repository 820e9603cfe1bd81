#include "py/writer/open_writers.h"

#include <mutex>
#include <unordered_map>
#include <utility>

namespace vorlisk::py {
namespace {

// Every member takes `mutex_`.
class OpenWriters {
 public:
  void add(const std::shared_ptr<WriterHandle>& writer) {
    std::lock_guard lock(mutex_);
    writers_.insert_or_assign(writer.get(), writer);
  }

  void remove(const WriterHandle& writer) {
    std::lock_guard lock(mutex_);
    writers_.erase(&writer);
  }

  std::vector<std::shared_ptr<WriterHandle>> live() {
    std::lock_guard lock(mutex_);
    std::vector<std::shared_ptr<WriterHandle>> result;
    result.reserve(writers_.size());
    for (const auto& [key, writer] : writers_) {
      if (auto owned = writer.lock()) result.push_back(std::move(owned));
    }
    return result;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<const WriterHandle*, std::weak_ptr<WriterHandle>> writers_;
};

// Never destroyed: writers may outlive the C++ runtime's static destructors.
OpenWriters& open_writer_registry() {
  static auto* writers = new OpenWriters;
  return *writers;
}

}  // namespace

void track_open_writer(const std::shared_ptr<WriterHandle>& writer) {
  open_writer_registry().add(writer);
}

void untrack_open_writer(const WriterHandle& writer) { open_writer_registry().remove(writer); }

std::vector<std::shared_ptr<WriterHandle>> open_writers() { return open_writer_registry().live(); }

}  // namespace vorlisk::py
