# Run last by the install step that CPack drives: writes README.txt, the part
# of README.md for those who ship overlay (everything before "## Working on
# overlay"), and SHA256SUMS of the package's files. With SOURCE_DATE_EPOCH
# set, every file takes that time, so the package's entries do not vary.
set(dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
file(READ "${OVERLAY_README}" readme)
string(FIND "${readme}" "\n## Working on overlay\n" end)
if(end EQUAL -1)
  message(FATAL_ERROR "README.md has no \"## Working on overlay\" section to end the user part")
endif()
string(SUBSTRING "${readme}" 0 ${end} user_part)
file(WRITE "${dir}/README.txt" "${user_part}")

# The reference launcher's files (OVERLAY_LAUNCHER_FILES) come from CMakeLists.txt.
set(files overlay.exe overlay-check.exe README.txt ${OVERLAY_LAUNCHER_FILES} overlay-check.cpp
    name_rules.h CHANGELOG.md LICENSE THIRD-PARTY-NOTICES)
set(sums "")
foreach(name IN LISTS files)
  file(SHA256 "${dir}/${name}" hash)
  string(APPEND sums "${hash}  ${name}\n")
endforeach()
file(WRITE "${dir}/SHA256SUMS" "${sums}")

if(DEFINED ENV{SOURCE_DATE_EPOCH})
  list(TRANSFORM files PREPEND "${dir}/")
  execute_process(COMMAND touch -d "@$ENV{SOURCE_DATE_EPOCH}" ${files} "${dir}/SHA256SUMS"
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
