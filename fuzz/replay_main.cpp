// Runs a fuzz target over files, without libFuzzer: every regular file named
// on the command line, and every regular file in a directory named there,
// is one input. Lets the ordinary builds (sanitizers included) keep the
// targets compiling and run their seed corpora as tests.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool run_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot read\n", path.c_str());
    return false;
  }
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), {}};
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  LLVMFuzzerInitialize(&argc, &argv);
  int inputs = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st {};
    if (stat(argv[i], &st) != 0) {
      std::perror(argv[i]);
      return 1;
    }
    if (!S_ISDIR(st.st_mode)) {
      if (!run_file(argv[i])) return 1;
      ++inputs;
      continue;
    }
    DIR* dir = opendir(argv[i]);
    if (!dir) return 1;
    std::vector<std::string> names;
    while (const dirent* e = readdir(dir))
      if (e->d_name[0] != '.') names.push_back(std::string(argv[i]) + "/" + e->d_name);
    closedir(dir);
    for (const std::string& name : names) {
      if (!run_file(name)) return 1;
      ++inputs;
    }
  }
  std::printf("%d inputs ran\n", inputs);
  return inputs > 0 ? 0 : 1;
}
