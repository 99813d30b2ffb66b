#include "copy/target_guard.h"

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "copy/file_system.h"
#include "copy/path.h"

namespace overlay {
namespace {

// The objects that are a target path or hold it, as they stand when read:
// every existing part of the path as written, then the ancestors of the
// deepest existing part as the platform resolves it (where links lead). A
// part that cannot be read is left out, so the chain can only hold less than
// what is there, never more.
class TargetChain {
 public:
  explicit TargetChain(const std::wstring& target);

  bool IsTarget(const file_identity& object) const {
    return target_ && SameObject(*target_, object);
  }
  // Whether `object` is the target path or one of the directories holding it.
  bool Holds(const file_identity& object) const {
    return IsTarget(object) ||
           std::any_of(holders_.begin(), holders_.end(),
                       [&](const file_identity& holder) { return SameObject(holder, object); });
  }

 private:
  void AddResolvedHolders(const std::wstring& deepest_part);

  std::optional<file_identity> target_;
  std::vector<file_identity> holders_;
};

TargetChain::TargetChain(const std::wstring& target) {
  std::wstring full_path;
  if (QueryFullPath(target, &full_path)) return;
  std::wstring deepest_part;
  for (std::wstring part = full_path; !part.empty(); part = ParentOf(part)) {
    file_identity identity;
    if (QueryIdentity(part, &identity)) continue;  // not there yet, or not to be read
    if (deepest_part.empty()) deepest_part = part;
    if (part == full_path) {
      target_ = identity;
    } else {
      holders_.push_back(identity);
    }
  }
  // The rest of the path, not there yet, would be made below the deepest part.
  if (!deepest_part.empty()) AddResolvedHolders(deepest_part);
}

// Volumes that cannot name an opened object (RAM disks, volumes without a
// drive letter, some user-mode file systems) leave these holders unknown.
void TargetChain::AddResolvedHolders(const std::wstring& deepest_part) {
  std::wstring final_path;
  if (QueryFinalPath(deepest_part, &final_path)) return;
  for (std::wstring holder = ParentOf(final_path); !holder.empty(); holder = ParentOf(holder)) {
    file_identity identity;
    if (!QueryIdentity(holder, &identity)) holders_.push_back(identity);
  }
}

}  // namespace

error_code RefuseCopyIntoItself(const std::wstring& source_directory, const std::wstring& target) {
  const TargetChain chain(target);
  file_identity source;
  if (QueryIdentity(source_directory, &source)) return error_code();
  if (chain.IsTarget(source) || !chain.Holds(source)) return error_code();
  return MakeGenericCode(EINVAL);
}

}  // namespace overlay
