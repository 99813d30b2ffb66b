# Run by the install step that CPack drives, before package_files.cmake: when
# OVERLAY_SIGN_PFX names a PKCS#12 file, signs the installed overlay.exe and
# overlay-check.exe with
# Authenticode (osslsigncode), the password read from the file named by
# OVERLAY_SIGN_PASSWORD_FILE, time-stamped by the RFC 3161 server
# OVERLAY_SIGN_TIMESTAMP_URL when set. The built exes stay unsigned. The
# signing time is SOURCE_DATE_EPOCH, so without a time stamp the same
# certificate gives the same bytes.
if(NOT "$ENV{OVERLAY_SIGN_PFX}" STREQUAL "")
  find_program(OVERLAY_OSSLSIGNCODE osslsigncode REQUIRED)
  set(arguments sign -pkcs12 "$ENV{OVERLAY_SIGN_PFX}" -h sha256)
  if(NOT "$ENV{OVERLAY_SIGN_PASSWORD_FILE}" STREQUAL "")
    list(APPEND arguments -readpass "$ENV{OVERLAY_SIGN_PASSWORD_FILE}")
  endif()
  if(NOT "$ENV{OVERLAY_SIGN_TIMESTAMP_URL}" STREQUAL "")
    list(APPEND arguments -ts "$ENV{OVERLAY_SIGN_TIMESTAMP_URL}")
  endif()
  if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    list(APPEND arguments -time "$ENV{SOURCE_DATE_EPOCH}")
  endif()
  foreach(name overlay overlay-check)
    set(exe "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${name}.exe")
    file(REMOVE "${exe}.signed")
    execute_process(COMMAND "${OVERLAY_OSSLSIGNCODE}" ${arguments} -n ${name} -in "${exe}"
                    -out "${exe}.signed" OUTPUT_QUIET RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "osslsigncode could not sign ${name}.exe with $ENV{OVERLAY_SIGN_PFX}")
    endif()
    file(RENAME "${exe}.signed" "${exe}")
    # osslsigncode writes a plain file; the package keeps the exe's mode.
    file(CHMOD "${exe}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
         WORLD_READ WORLD_EXECUTE)
  endforeach()
endif()
