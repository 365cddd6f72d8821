#pragma once
// The ids of the background transfers a control started and has not yet seen end: at most
// 128, in start order, with the id of the last task started beside them.
#include <array>
#include <cstdint>
#include <functional>
#include <span>

namespace filexfer {

class TaskIdList {
 public:
  static constexpr int32_t kCapacity = 128;

  // An id of 0 is ignored; a full list keeps its ids but the new id still becomes the last.
  void Add(uint32_t id);
  // Removes the first entry equal to id; an id not held changes nothing.
  void Remove(uint32_t id);
  // Keeps, in order, the ids whose result says the task has not finished or is suspended.
  void Prune(const std::function<uint32_t(uint32_t id)>& resultOf);
  // Aborts every id, waits for all of them together, then empties the list. Either
  // operation may be empty (the library has none).
  void AbortAll(const std::function<void(uint32_t id)>& abort,
                const std::function<void(std::span<const uint32_t> ids)>& waitAll);
  // Back to the defaults: empty, no last id, no server type.
  void Clear();

  int32_t Count() const { return count_; }
  uint32_t LastId() const { return lastId_; }
  uint32_t At(int32_t index) const { return ids_[size_t(index)]; }  // index below Count()
  std::span<const uint32_t> Ids() const { return {ids_.data(), size_t(count_)}; }
  int32_t ServerType() const { return serverType_; }
  void SetServerType(int32_t type) { serverType_ = type; }

 private:
  std::array<uint32_t, kCapacity> ids_{};
  int32_t count_ = 0;
  uint32_t lastId_ = 0;
  int32_t serverType_ = 0;
};

}  // namespace filexfer
