#include "copy/file_copy.h"

#include "platform/win32.h"

namespace overlay {

error_code copy_file(const std::wstring& source, const std::wstring& target, copy_options options) {
  // The program always overwrites; nothing is compared, prepared or verified.
  const BOOL fail_if_exists = options & copy_options::overwrite_existing ? FALSE : TRUE;
  if (win32::CopyFileW(source.c_str(), target.c_str(), fail_if_exists)) return error_code();
  return MakeSystemCode(win32::GetLastError());
}

}  // namespace overlay
