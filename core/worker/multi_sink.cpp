#include "core/worker/multi_sink.h"

#include <optional>
#include <utility>

namespace vorlisk {

SinkResult MultiSink::write_line(std::string& line) {
  if (children_.empty()) return SinkResult::failure("multi-sink has no children");
  size_t succeeded = 0;
  std::optional<SinkResult> last_failure;
  for (size_t i = 0; i < children_.size(); ++i) {
    LineSink& child = *children_[i];
    // The last child may take the line itself; the others get copies.
    SinkResult result =
        i + 1 == children_.size() ? child.write_line(line) : child.write(line);
    errors_ += take_failures(child, result);
    if (result.is_ok()) {
      ++succeeded;
    } else {
      last_failure = std::move(result);
    }
  }
  if (succeeded > 0) return SinkResult::ok();
  return std::move(*last_failure);
}

SinkResult MultiSink::flush() {
  std::optional<SinkResult> last_failure;
  for (auto& child : children_) {
    SinkResult result = child->flush();
    errors_ += take_failures(*child, result);
    if (!result.is_ok()) last_failure = std::move(result);
  }
  return last_failure ? std::move(*last_failure) : SinkResult::ok();
}

uint64_t MultiSink::take_errors() { return std::exchange(errors_, 0); }

}  // namespace vorlisk
