#include "filexfer/ocx/task_list.h"

#include <algorithm>

#include "core/errors/error_codes.h"

namespace filexfer {

void TaskIdList::Add(uint32_t id) {
  if (id == 0) return;
  if (count_ < kCapacity) ids_[size_t(count_++)] = id;
  lastId_ = id;
}

void TaskIdList::Remove(uint32_t id) {
  if (count_ < 1 || id == 0) return;
  auto end = ids_.begin() + count_;
  auto it = std::find(ids_.begin(), end, id);
  if (it == end) return;
  std::move(it + 1, end, it);
  ids_[size_t(--count_)] = 0;
}

void TaskIdList::Prune(const std::function<uint32_t(uint32_t)>& resultOf) {
  std::array<uint32_t, kCapacity> kept{};
  int32_t n = 0;
  for (int32_t i = 0; i < count_ && resultOf; ++i) {
    uint32_t r = resultOf(ids_[size_t(i)]);
    if (r == cvErrorTaskActive || r == cvErrorTaskSuspended) kept[size_t(n++)] = ids_[size_t(i)];
  }
  ids_ = kept;
  count_ = n;
}

void TaskIdList::AbortAll(const std::function<void(uint32_t)>& abort,
                          const std::function<void(std::span<const uint32_t>)>& waitAll) {
  if (count_ >= 1) {
    if (abort)
      for (uint32_t id : Ids()) abort(id);
    if (waitAll) waitAll(Ids());
  }
  ids_.fill(0);
  count_ = 0;
}

void TaskIdList::Clear() {
  ids_.fill(0);
  count_ = 0;
  lastId_ = 0;
  serverType_ = 0;
}

}  // namespace filexfer
