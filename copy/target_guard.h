// Keeping the walk out of the trees it reads. Two rules, enforced here:
//
//   The walk never writes into a tree it reads: no counterpart (a path it
//   writes) is the source root or inside it, nor a directory entered through
//   a link on the current path or inside one.
//
//   The walk never enters a tree it is already reading: a directory entered
//   through a link never holds that link, as the walk wrote its path or as
//   the platform resolves it.
//
// Broken, the walk would meet its own copies level after level, write the
// update into itself, or lay a tree into the game nested in itself. Links on
// either side can break them: the walk reads through links in the source and
// writes through links in the target. Each rule answers EINVAL before
// anything is made at the counterpart. A query refused means "cannot tell",
// and the walk then goes on as it would without the rules.
#pragma once

#include <optional>
#include <string>

#include "copy/file_system.h"
#include "report/error_code.h"

namespace overlay {

// One tree the walk reads, named by its root's path and identity (none
// where that cannot be told), and the tree it was entered from (none for the
// source root's). The levels live on the walk's stack, so leaving a
// directory leaves its tree.
struct TreesBeingRead {
  const std::wstring* root_path;
  std::optional<file_identity> root;
  const TreesBeingRead* outer;
};

// At a directory the walk enters, before its counterpart is made: the source
// root (`tree->outer` none) or one reached through a link. `tree` is the
// directory's level; its root is filled in where it can be told.
error_code EnterTree(const std::wstring& directory, const std::wstring& counterpart,
                     TreesBeingRead* tree);

// At an existing counterpart, by the identity the walk has taken of it: no
// added platform call unless it matches one.
error_code RefuseTreeBeingRead(const std::wstring& counterpart, const file_identity& identity,
                               const TreesBeingRead* reading);

// At a counterpart that is a reparse point: where it leads, and what holds
// that, is none of the trees being read. Where it leads nowhere (what it
// names is missing), the link itself says where that would be.
error_code RefuseLinkIntoTreesBeingRead(const std::wstring& counterpart, bool leads_nowhere,
                                        const TreesBeingRead* reading);

}  // namespace overlay
