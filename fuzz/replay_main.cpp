// Runs the fuzz target once on every file of the folders or files it is
// given (the seed corpus), as an ordinary test program: no libFuzzer needed.
// Each input lives in a heap block of exactly its size, as under libFuzzer.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  std::vector<fs::path> inputs;
  for (int i = 1; i < argc; ++i) {
    if (fs::is_directory(argv[i])) {
      for (const auto& entry : fs::directory_iterator(argv[i]))
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    } else {
      inputs.push_back(argv[i]);
    }
  }
  std::sort(inputs.begin(), inputs.end());
  for (const fs::path& path : inputs) {
    std::ifstream file(path, std::ios::binary | std::ios::ate);
    const std::streamsize size = file.tellg();
    std::unique_ptr<uint8_t[]> data(new uint8_t[size > 0 ? size : 0]);
    if (!file.seekg(0) ||
        !file.read(reinterpret_cast<char*>(data.get()), size)) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    LLVMFuzzerTestOneInput(data.get(), static_cast<size_t>(size));
  }
  // An empty corpus would make this a test that cannot fail.
  std::printf("%zu inputs replayed\n", inputs.size());
  return inputs.empty() ? 1 : 0;
}
