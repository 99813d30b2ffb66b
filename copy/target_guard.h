// Keeping the walk out of the tree it writes: a target root inside the source
// root, or a link in the source that leads to the target root or above it,
// would have the walk descend into its own copies without end.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "copy/file_system.h"
#include "report/error_code.h"

namespace overlay {

// The objects that are the target root or hold it, however links lead there:
// every existing part of the root as written, and the ancestors of the
// deepest existing part as the platform resolves it. Read once, as they
// stand at that moment.
class TargetChain {
 public:
  explicit TargetChain(const std::wstring& target_root);

  // The refusal other than "not found" that ended the reading early; what
  // lay beyond it is missing from the chain.
  const error_code& refusal() const noexcept { return refusal_; }
  // Whether `object` is the target root itself.
  bool IsRoot(const file_identity& object) const;
  // Whether `object` is the target root or one of the directories holding it.
  bool Holds(const file_identity& object) const;

 private:
  // Whether the object at `path` could be read and was added.
  bool Add(const std::wstring& path, bool is_root);
  void AddResolvedHolders(const std::wstring& path);

  std::optional<file_identity> root_;
  std::vector<file_identity> holders_;
  error_code refusal_;
};

// Refuses (EINVAL) a target root inside the directory that is the source
// root, however links lead there. A target root that is the source root
// itself is left to the walk, which refuses the same object; whatever cannot
// be told is left to the walk too.
error_code RefuseTargetInsideSource(const walk_entry& source_root, const std::wstring& target_root);

}  // namespace overlay
