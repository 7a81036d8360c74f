// Settings files for the benchmarks: many small sections, with System's
// ZorvaneOrBetter=no in the second section or the second to last.
#ifndef TARVOPROBE_BENCH_INI_CORPUS_H_
#define TARVOPROBE_BENCH_INI_CORPUS_H_

#include <cstdio>
#include <string>

inline std::string MakeIni(size_t bytes, bool target_near_end) {
  std::string ini;
  ini.reserve(bytes + 256);
  bool placed = false;
  char section[96];
  for (int n = 0; ini.size() < bytes; ++n) {
    const bool here = target_near_end ? ini.size() + 160 >= bytes : n == 1;
    if (here && !placed) {
      ini += "[System]\r\nDisplay=VGA\r\nZorvaneOrBetter=no\r\n\r\n";
      placed = true;
      continue;
    }
    std::snprintf(section, sizeof section,
                  "[Section%07d]\r\nName=Value %d\r\nPath=C:\\Program Files\\Tool\r\n\r\n", n, n);
    ini += section;
  }
  return ini;
}

#endif  // TARVOPROBE_BENCH_INI_CORPUS_H_
