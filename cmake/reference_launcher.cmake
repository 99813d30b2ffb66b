# The reference launcher, launcher/launcher.cpp, for the tests: its functions
# (all before wWinMain) taken out into launcher/functions.h in the build, for
# the launcher stand-in and the end-to-end tests, which also build the file
# itself as the program the package ships.
set(reference_launcher "${CMAKE_SOURCE_DIR}/launcher/launcher.cpp")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${reference_launcher}")
file(READ "${reference_launcher}" text)
string(FIND "${text}" "\nint WINAPI wWinMain" main)
if(main EQUAL -1)
  message(FATAL_ERROR "launcher/launcher.cpp has no wWinMain")
endif()
# Up to the comment that introduces wWinMain.
string(SUBSTRING "${text}" 0 ${main} functions)
string(FIND "${functions}" "\n\n" functions_end REVERSE)
string(SUBSTRING "${functions}" 0 ${functions_end} functions)

# Written through configure_file, which leaves an unchanged file alone.
set(header "${CMAKE_BINARY_DIR}/launcher/functions.h")
file(WRITE "${header}.new"
     "// The functions of launcher/launcher.cpp (cmake/reference_launcher.cmake).\n"
     "#pragma once\n\n${functions}\n")
configure_file("${header}.new" "${header}" COPYONLY)

add_library(reference_launcher_functions INTERFACE)
target_include_directories(reference_launcher_functions INTERFACE "${CMAKE_BINARY_DIR}")
# Its signature check.
target_link_libraries(reference_launcher_functions INTERFACE wintrust crypt32)
