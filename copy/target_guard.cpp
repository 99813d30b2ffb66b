#include "copy/target_guard.h"

#include <cerrno>

#include "copy/path.h"

namespace overlay {
namespace {

// The final path (every link followed) of the deepest existing part of a
// target root, and whether that part is the whole root; false when the
// platform cannot tell. The rest of the root, not there yet, would be made
// below that part.
bool ResolveDeepestExistingPart(const std::wstring& target_root, std::wstring* final_path,
                                bool* is_whole_root) {
  *is_whole_root = true;
  for (std::wstring part = QueryFullPath(target_root); !part.empty(); part = ParentOf(part)) {
    const error_code refusal = QueryFinalPath(part, final_path);
    if (!refusal) return true;
    if (!IsNotFound(refusal)) return false;
    *is_whole_root = false;
  }
  return false;
}

}  // namespace

error_code RefuseTargetInsideSource(const walk_entry& source_root,
                                    const std::wstring& target_root) {
  if (QueryStatus(source_root.path, source_root.attributes).type != file_type::directory) {
    return error_code();
  }
  std::wstring resolved;
  bool is_whole_root = false;
  if (!ResolveDeepestExistingPart(target_root, &resolved, &is_whole_root)) return error_code();
  // Where identities cannot tell objects apart, nothing can be decided here.
  file_identity source_identity;
  if (QueryIdentity(source_root.path, &source_identity)) return error_code();
  if (!TellsObjectsApart(source_identity)) return error_code();

  // A target root that is the source itself is the walk's same-object refusal.
  std::wstring ancestor = is_whole_root ? ParentOf(resolved) : resolved;
  for (; !ancestor.empty(); ancestor = ParentOf(ancestor)) {
    file_identity ancestor_identity;
    if (QueryIdentity(ancestor, &ancestor_identity)) continue;
    if (ancestor_identity == source_identity) return MakeGenericCode(EINVAL);
  }
  return error_code();
}

}  // namespace overlay
