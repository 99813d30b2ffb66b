# The launcher example of README.md, taken out of it when configuring, so that
# what the tests build and run is the very code the README shows:
#   readme/launcher.cpp  the whole example, built as a program of its own
#   readme/launcher.h    its functions (all before wWinMain), which the
#                        launcher stand-in and the end-to-end tests use
set(readme "${CMAKE_SOURCE_DIR}/README.md")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${readme}")
file(READ "${readme}" text)
set(opening "```cpp\n// launcher.cpp:")
string(FIND "${text}" "${opening}" start)
if(start EQUAL -1)
  message(FATAL_ERROR "README.md has no launcher example (a block opening with \"${opening}\")")
endif()
math(EXPR start "${start} + 7")
string(SUBSTRING "${text}" ${start} -1 text)
string(FIND "${text}" "\n```" end)
string(SUBSTRING "${text}" 0 ${end} example)
string(FIND "${example}" "\nint WINAPI wWinMain" main)
if(end EQUAL -1 OR main EQUAL -1)
  message(FATAL_ERROR "README.md's launcher example is not closed or has no wWinMain")
endif()
# Up to the comment that introduces wWinMain.
string(SUBSTRING "${example}" 0 ${main} functions)
string(FIND "${functions}" "\n\n" functions_end REVERSE)
string(SUBSTRING "${functions}" 0 ${functions_end} functions)

# Written through configure_file, which leaves an unchanged file alone.
set(readme_dir "${CMAKE_BINARY_DIR}/readme")
file(WRITE "${readme_dir}/launcher.cpp.new" "${example}\n")
file(WRITE "${readme_dir}/launcher.h.new"
     "// The functions of README.md's launcher example (cmake/readme_launcher.cmake).\n"
     "#pragma once\n\n${functions}\n")
foreach(name launcher.cpp launcher.h)
  configure_file("${readme_dir}/${name}.new" "${readme_dir}/${name}" COPYONLY)
endforeach()

add_library(readme_launcher_functions INTERFACE)
target_include_directories(readme_launcher_functions INTERFACE "${CMAKE_BINARY_DIR}")
# Its signature check.
target_link_libraries(readme_launcher_functions INTERFACE wintrust crypt32)
