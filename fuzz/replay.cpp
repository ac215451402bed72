// SPDX-License-Identifier: MIT
// Feeds committed inputs to a libFuzzer harness without libFuzzer, so every
// ordinary test build replays the corpora and the regression inputs. Each
// argument is a file or a directory of files, replayed in name order. A
// directory that cannot be read or holds no file fails: a replay that ran
// nothing must not pass. A broken promise aborts inside the harness.

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

static bool replay_file(const std::string& path) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    fprintf(stderr, "replay: cannot open %s\n", path.c_str());
    return false;
  }
  std::vector<uint8_t> bytes;
  uint8_t chunk[65536];
  for (size_t n; (n = fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
  bool ok = !ferror(f);
  fclose(f);
  if (!ok) {
    fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return false;
  }
  // A block of exactly the input's size, as libFuzzer passes it: the
  // sanitizers see any read past its end.
  uint8_t* data = static_cast<uint8_t*>(malloc(bytes.size() ? bytes.size() : 1));
  std::copy(bytes.begin(), bytes.end(), data);
  printf("replay: %s (%zu bytes)\n", path.c_str(), bytes.size());
  fflush(stdout);
  int result = LLVMFuzzerTestOneInput(data, bytes.size());
  free(data);
  if (result != 0 && result != -1) {
    fprintf(stderr, "replay: %s returned %d\n", path.c_str(), result);
    return false;
  }
  return true;
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s FILE-OR-DIRECTORY...\n", argv[0]);
    return 2;
  }
  size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    struct stat st;
    if (stat(argv[i], &st) != 0) {
      fprintf(stderr, "replay: %s does not exist\n", argv[i]);
      return 1;
    }
    std::vector<std::string> files;
    if (S_ISDIR(st.st_mode)) {
      DIR* dir = opendir(argv[i]);
      if (!dir) {
        fprintf(stderr, "replay: cannot list %s\n", argv[i]);
        return 1;
      }
      while (dirent* e = readdir(dir)) {
        std::string path = std::string(argv[i]) + "/" + e->d_name;
        struct stat fst;
        if (e->d_name[0] != '.' && stat(path.c_str(), &fst) == 0 && S_ISREG(fst.st_mode)) files.push_back(path);
      }
      closedir(dir);
      if (files.empty()) {
        fprintf(stderr, "replay: %s holds no input\n", argv[i]);
        return 1;
      }
      std::sort(files.begin(), files.end());
    } else {
      files.push_back(argv[i]);
    }
    for (const std::string& path : files) {
      if (!replay_file(path)) return 1;
      ++replayed;
    }
  }
  printf("replay: %zu inputs, all passed\n", replayed);
  return 0;
}
