// Replays inputs through a fuzz target without libFuzzer, so that the ordinary build's tests run
// every seed and every saved finding: each file named, and each regular file in each directory
// named (sorted), is copied into a buffer of exactly its size and handed to LLVMFuzzerTestOneInput.
// A crash, an abort or a sanitizer report is the failure; the exit status is 1 when a path names
// nothing readable or a directory holds no input, 0 otherwise.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

bool replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read\n", file.c_str());
    return false;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::fprintf(stderr, "%s (%zu bytes)\n", file.c_str(), bytes.size());
  // A buffer of its own, exactly the input's size, so that a read past the end is caught.
  std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size() + (bytes.empty() ? 1 : 0)]);
  std::copy(bytes.begin(), bytes.end(), data.get());
  LLVMFuzzerTestOneInput(data.get(), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
    return 2;
  }
  int ran = 0;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path p = argv[i];
    std::error_code ec;
    if (!std::filesystem::is_directory(p, ec)) {
      ok = replay(p) && ok;
      ++ran;
      continue;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& e : std::filesystem::directory_iterator(p, ec))
      if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    if (files.empty()) {
      std::fprintf(stderr, "%s: no input\n", p.c_str());
      ok = false;
    }
    for (const auto& f : files) ok = replay(f) && ok;
    ran += static_cast<int>(files.size());
  }
  std::fprintf(stderr, "%d inputs replayed\n", ran);
  return ok ? 0 : 1;
}
