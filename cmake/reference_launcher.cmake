# The reference launcher, launcher/launcher.cpp and the headers beside it, as
# the package ships them: the stand-in and the end-to-end tests include the
# header of the step they need ("launcher/update_step.h") and build
# launcher.cpp itself as the program.
set(reference_launcher "${CMAKE_SOURCE_DIR}/launcher/launcher.cpp")
# The files the package ships, launcher.cpp first.
set(reference_launcher_files launcher.cpp basics.h copies.h matching.h messages.h signature.h
    update_step.h preflight.h update_ready.h waiter_window.h)

add_library(reference_launcher_functions INTERFACE)
target_include_directories(reference_launcher_functions INTERFACE "${CMAKE_SOURCE_DIR}")
# Its signature check.
target_link_libraries(reference_launcher_functions INTERFACE wintrust crypt32)
# The waiter's progress bar.
target_link_libraries(reference_launcher_functions INTERFACE comctl32)
