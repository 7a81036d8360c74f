// The Linux profile stand-in on files of growing size: a read of the
// record, and a write that changes it (so every write replaces the file,
// fsync included). The heap high-water mark of one call is reported beside
// the time. Files go to $TMPDIR (default /tmp): the disk decides the fsync.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "ini_corpus.h"
#include "platform/platform.h"

namespace {

// Signed: frees of memory allocated elsewhere (outside the wrapped objects)
// count too, and only lower the level from which a call's peak is taken.
std::atomic<long long> heap_now{0}, heap_peak{0};

void Count(size_t freed, size_t taken) {
  const long long now = heap_now += static_cast<long long>(taken) - static_cast<long long>(freed);
  for (long long peak = heap_peak; now > peak && !heap_peak.compare_exchange_weak(peak, now);) {
  }
}

}  // namespace

// The stand-in allocates with realloc and frees with free, in one place
// (buffer.cpp). The link routes its calls here (ld --wrap), so that the
// heap high-water mark of each call is known.
extern "C" {
void* __real_realloc(void* p, size_t size);
void __real_free(void* p);

void* __wrap_realloc(void* p, size_t size) {
  const size_t before = p ? malloc_usable_size(p) : 0;
  void* grown = __real_realloc(p, size);
  if (grown) Count(before, malloc_usable_size(grown));
  return grown;
}

void __wrap_free(void* p) {
  if (p) Count(malloc_usable_size(p), 0);
  __real_free(p);
}
}

namespace {

class IniFile {
 public:
  IniFile(size_t bytes, bool near_end) {
    const char* tmp = std::getenv("TMPDIR");
    dir_ = std::filesystem::path(tmp && *tmp ? tmp : "/tmp") /
           ("tarvoprobe-bench-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    path_ = (dir_ / "tarvo.ini").string();
    const std::string ini = MakeIni(bytes, near_end);
    FILE* out = std::fopen(path_.c_str(), "wb");
    std::fwrite(ini.data(), 1, ini.size(), out);
    std::fclose(out);
  }
  ~IniFile() { std::filesystem::remove_all(dir_); }
  const char* path() const { return path_.c_str(); }

 private:
  std::filesystem::path dir_;
  std::string path_;
};

void ReportHeapPeak(benchmark::State& state, long long before) {
  state.counters["heap_peak_bytes"] = static_cast<double>(heap_peak - before);
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_Read(benchmark::State& state) {
  const IniFile file(static_cast<size_t>(state.range(0)), state.range(1) != 0);
  char value[15];
  const long long before = heap_now;
  heap_peak = before;
  for (auto _ : state) {
    if (GetPrivateProfileStringA("System", "ZorvaneOrBetter", "NoINI", value, sizeof value,
                                 file.path()) != 2) {
      state.SkipWithError("the record did not read back as \"no\"");
      break;
    }
  }
  ReportHeapPeak(state, before);
}

void BM_Write(benchmark::State& state) {
  const IniFile file(static_cast<size_t>(state.range(0)), state.range(1) != 0);
  bool yes = true;
  const long long before = heap_now;
  heap_peak = before;
  for (auto _ : state) {
    if (!WritePrivateProfileStringA("System", "ZorvaneOrBetter", yes ? "yes" : "no", file.path())) {
      state.SkipWithError("the write failed");
      break;
    }
    yes = !yes;
  }
  ReportHeapPeak(state, before);
}

// Sizes up to just under the stand-in's 64 MiB limit; 1: target near the end.
void Sizes(benchmark::internal::Benchmark* b) {
  for (const int64_t kib : {1, 64, 1024, 16 * 1024, 60 * 1024}) {
    for (const int64_t near_end : {0, 1}) b->Args({kib * 1024, near_end});
  }
  b->ArgNames({"bytes", "near_end"})->Unit(benchmark::kMicrosecond)->UseRealTime();
}
BENCHMARK(BM_Read)->Apply(Sizes);
BENCHMARK(BM_Write)->Apply(Sizes);

}  // namespace
