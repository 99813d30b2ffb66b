// The peer a C++ programmer would write: one library call.
//   bench_fs_copy.exe SOURCE TARGET
#include <cstdio>
#include <filesystem>
#include <system_error>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: bench_fs_copy.exe SOURCE TARGET\n");
    return 2;
  }
  namespace fs = std::filesystem;
  std::error_code error;
  fs::copy(fs::path(argv[1]), fs::path(argv[2]),
           fs::copy_options::recursive | fs::copy_options::overwrite_existing, error);
  if (error) {
    std::fprintf(stderr, "bench_fs_copy: %s\n", error.message().c_str());
    return 1;
  }
  return 0;
}
