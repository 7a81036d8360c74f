// The table of what a run leaves in tarvo.ini, shared by the tests that call
// the record directly and those that run the program.
#ifndef TARVOPROBE_TESTS_OUTCOME_TABLE_H_
#define TARVOPROBE_TESTS_OUTCOME_TABLE_H_

#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "test_util.h"

struct Outcome {
  std::string name;
  bool capable;
  std::optional<std::string> before;  // nullopt: no file
  std::string after;
};

inline std::vector<Outcome> LoadOutcomes() {
  std::vector<Outcome> outcomes;
  for (const auto& row : testing_util::ReadTable(TARVOPROBE_OUTCOMES)) {
    Outcome o{row.at(0), row.at(1) == "yes", std::nullopt, testing_util::Unescape(row.at(3))};
    if (row.at(2) != "-") o.before = testing_util::Unescape(row.at(2));
    outcomes.push_back(o);
  }
  return outcomes;
}

inline std::ostream& operator<<(std::ostream& out, const Outcome& o) { return out << o.name; }

// Identity of the file's current version: a rewrite changes it.
inline std::pair<ino_t, long> Version(const std::filesystem::path& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return {st.st_ino, st.st_mtim.tv_nsec + st.st_mtim.tv_sec * 1000000000L};
}

#endif  // TARVOPROBE_TESTS_OUTCOME_TABLE_H_
