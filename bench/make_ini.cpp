// Writes a benchmark settings file: make_ini BYTES start|end FILE
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ini_corpus.h"

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: make_ini BYTES start|end FILE\n");
    return 2;
  }
  const std::string ini =
      MakeIni(std::strtoull(argv[1], nullptr, 10), std::strcmp(argv[2], "end") == 0);
  FILE* out = std::fopen(argv[3], "wb");
  if (!out || std::fwrite(ini.data(), 1, ini.size(), out) != ini.size() || std::fclose(out) != 0) {
    std::perror(argv[3]);
    return 1;
  }
  return 0;
}
