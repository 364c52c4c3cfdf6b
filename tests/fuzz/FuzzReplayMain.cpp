// Replays fuzz inputs without libFuzzer, so that every build (also a plain g++ one) runs the
// committed seed corpora as regression tests: each argument is a file or a directory of files.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int replayFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.string().c_str());
    return 1;
  }
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int files = 0;
  int failures = 0;
  for (int i = 1; i < argc; ++i) {
    const std::filesystem::path arg(argv[i]);
    if (std::filesystem::is_directory(arg)) {
      std::vector<std::filesystem::path> entries;
      for (const auto& entry : std::filesystem::directory_iterator(arg)) {
        if (entry.is_regular_file()) entries.push_back(entry.path());
      }
      std::sort(entries.begin(), entries.end());
      for (const auto& path : entries) {
        failures += replayFile(path);
        ++files;
      }
    } else {
      failures += replayFile(arg);
      ++files;
    }
  }
  std::printf("replayed %d inputs\n", files);
  return files > 0 && failures == 0 ? 0 : 1;
}
