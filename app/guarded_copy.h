// The guarded run of the copy that ends, on failure, in the "ERROR" box.
#pragma once

namespace overlay {

// Copies the source root onto the target root, both exactly as the command
// line gave them. Any failure, even one while the roots are first copied into
// memory, is shown in one message box; nothing escapes.
void CopyTree(const wchar_t* source_root, const wchar_t* target_root);

}  // namespace overlay
