// Runs a fuzz target once per input file, without libFuzzer: every build
// replays the corpus (and the inputs that once crashed) as a test.
//
//   fuzz_<target>_replay FILE_OR_DIRECTORY...

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize);

int main(int argc, char** argv) {
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<std::filesystem::path> inputs = {argv[i]};
    if (std::filesystem::is_directory(inputs[0])) inputs.assign(std::filesystem::directory_iterator(argv[i]), {});
    for (const auto& input : inputs) {
      std::ifstream in(input, std::ios::binary);
      const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
      ++replayed;
    }
  }
  std::printf("%zu inputs replayed\n", replayed);
  return replayed > 0 ? 0 : 1;
}
