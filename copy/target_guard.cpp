#include "copy/target_guard.h"

#include <algorithm>
#include <cerrno>
#include <vector>

#include "copy/path.h"

namespace overlay {
namespace {

// The objects on the way to a path, as they stand when read: the object at
// the path and every directory holding it, each existing part of the path as
// written, then the holders of the deepest existing part as the platform
// resolves it (where links lead). A part that cannot be read is left out, so
// the chain can only hold less than what is there, never more.
class PathChain {
 public:
  enum Start { kThePath, kItsHolder };
  explicit PathChain(const std::wstring& path, Start start = kThePath);

  bool Holds(const std::wstring& path, const file_identity& object) const {
    return std::any_of(objects_.begin(), objects_.end(), [&](const Part& held) {
      return SameObjectAt(held.path, held.identity, path, object);
    });
  }
  bool MeetsOneOf(const TreesBeingRead* reading) const {
    for (const TreesBeingRead* tree = reading; tree != nullptr; tree = tree->outer) {
      if (tree->root && Holds(*tree->root_path, *tree->root)) return true;
    }
    return false;
  }

 private:
  struct Part {
    file_identity identity;
    std::wstring path;
  };
  // Whether the object at the part is known.
  bool Add(const std::wstring& part);
  void AddResolvedHolders(const std::wstring& deepest_part);

  std::vector<Part> objects_;
};

PathChain::PathChain(const std::wstring& path, Start start) {
  std::wstring full_path;
  if (QueryFullPath(path, &full_path)) return;
  if (start == kItsHolder) full_path = ParentOf(full_path);
  std::wstring deepest_part;
  for (std::wstring part = full_path; !part.empty(); part = ParentOf(part)) {
    // Unless it is not there yet, or cannot be read.
    if (Add(part) && deepest_part.empty()) deepest_part = part;
  }
  // The rest of the path, not there yet, would be made below the deepest part.
  if (!deepest_part.empty()) AddResolvedHolders(deepest_part);
}

bool PathChain::Add(const std::wstring& part) {
  file_identity identity;
  if (QueryIdentity(part, &identity)) return false;
  objects_.push_back({identity, part});
  return true;
}

void PathChain::AddResolvedHolders(const std::wstring& deepest_part) {
  std::wstring final_path;
  if (QueryFinalPath(deepest_part, &final_path)) return;
  for (std::wstring holder = ParentOf(final_path); !holder.empty(); holder = ParentOf(holder)) {
    Add(holder);
  }
}

error_code Refused() { return MakeGenericCode(EINVAL); }

}  // namespace

error_code EnterTree(const std::wstring& directory, const std::wstring& counterpart,
                     TreesBeingRead* tree) {
  // The source root is entered from nowhere; a directory reached through a
  // link is entered from the directory that holds the link.
  const std::optional<PathChain> holders =
      tree->outer ? std::optional<PathChain>(std::in_place, directory, PathChain::kItsHolder)
                  : std::nullopt;
  const PathChain written_into(counterpart);
  file_identity identity;
  if (!QueryIdentity(directory, &identity)) {
    if (holders && holders->Holds(directory, identity)) return Refused();
    tree->root = identity;
  }
  if (written_into.MeetsOneOf(tree)) return Refused();
  return error_code();
}

error_code RefuseTreeBeingRead(const std::wstring& counterpart, const file_identity& identity,
                               const TreesBeingRead* reading) {
  for (const TreesBeingRead* tree = reading; tree != nullptr; tree = tree->outer) {
    if (tree->root && SameObjectAt(*tree->root_path, *tree->root, counterpart, identity)) {
      return Refused();
    }
  }
  return error_code();
}

error_code RefuseLinkIntoTreesBeingRead(const std::wstring& counterpart, bool leads_nowhere,
                                        const TreesBeingRead* reading) {
  if (reading == nullptr) return error_code();
  // Placeholders of cloud files and other reparse points that are not links
  // are spared the chain; a tag that cannot be read may be a link's.
  DWORD tag = 0;
  if (!QueryReparseTag(counterpart, &tag) && !MayLeadElsewhere(tag)) return error_code();
  std::wstring destination = counterpart;
  if (leads_nowhere && QueryLinkDestination(counterpart, &destination)) return error_code();
  if (PathChain(destination).MeetsOneOf(reading)) return Refused();
  return error_code();
}

}  // namespace overlay
