#include "copy/target_guard.h"

#include <algorithm>
#include <cerrno>

#include "copy/path.h"

namespace overlay {

TargetChain::TargetChain(const std::wstring& target_root) {
  std::wstring full_path;
  refusal_ = QueryFullPath(target_root, &full_path);
  bool resolved = false;
  for (std::wstring part = full_path; !refusal_ && !part.empty(); part = ParentOf(part)) {
    if (!Add(part, part == full_path) || resolved) continue;
    // The deepest part there is: what holds it where links lead. The rest of
    // the root, not there yet, would be made below it.
    resolved = true;
    AddResolvedHolders(part);
  }
}

bool TargetChain::Add(const std::wstring& path, bool is_root) {
  file_identity identity;
  if (error_code refusal = QueryIdentity(path, &identity)) {
    if (!IsNotFound(refusal)) refusal_ = refusal;
    return false;
  }
  if (is_root) {
    root_ = identity;
  } else {
    holders_.push_back(identity);
  }
  return true;
}

void TargetChain::AddResolvedHolders(const std::wstring& path) {
  std::wstring final_path;
  refusal_ = QueryFinalPath(path, &final_path);
  for (std::wstring holder = ParentOf(final_path); !refusal_ && !holder.empty();
       holder = ParentOf(holder)) {
    Add(holder, false);
  }
}

bool TargetChain::IsRoot(const file_identity& object) const {
  return root_ && SameObject(*root_, object);
}

bool TargetChain::Holds(const file_identity& object) const {
  return IsRoot(object) ||
         std::any_of(holders_.begin(), holders_.end(),
                     [&](const file_identity& holder) { return SameObject(holder, object); });
}

error_code RefuseTargetInsideSource(const walk_entry& source_root,
                                    const std::wstring& target_root) {
  if (QueryStatus(source_root.path, source_root.attributes).type != file_type::directory) {
    return error_code();
  }
  const TargetChain chain(target_root);
  file_identity source;
  if (QueryIdentity(source_root.path, &source)) return error_code();
  if (chain.IsRoot(source) || !chain.Holds(source)) return error_code();
  return MakeGenericCode(EINVAL);
}

}  // namespace overlay
