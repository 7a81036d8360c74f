// The Linux stand-in against the platform's own profile service (Wine's,
// through profile_oracle.exe), over a corpus of settings files, once for the
// 32-bit service and once for the 64-bit one. Reads must agree to the count
// and the byte; after a write of "no" and of "yes", the platform must read
// every section and key of the stand-in's file as it reads its own; and the
// stand-in's file must differ from the original in the one line it changed
// or added. Differences listed in expected_differences.tsv, and Wine's quote
// quirk, are checked as such. The two services must agree with each other.
#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <map>
#include <set>

#include "platform/platform.h"
#include "wine.h"

namespace {

namespace fs = std::filesystem;
using testing_util::ReadBytes;
using testing_util::Unescape;
using testing_util::WriteBytes;

constexpr DWORD kBig = 1 << 20;  // the oracle's buffer: reads of whole values
const char* const kValues[] = {"no", "yes"};
const fs::path kDirs[] = {TARVOPROBE_PROFILE_CASES, TARVOPROBE_DIFFERENTIAL_CORPUS};

struct Read {
  std::string section, key;
  std::optional<std::string> default_value;  // nullopt: a null pointer
  DWORD size;
};

struct Case {
  std::string name;
  std::optional<std::string> bytes;  // nullopt: no file
  std::vector<Read> reads;
  std::string difference;  // its kind in expected_differences.tsv, if listed
};

std::vector<Case> LoadCorpus() {
  std::map<std::string, Case> cases;
  for (const fs::path& dir : kDirs) {
    for (const auto& entry : fs::directory_iterator(dir)) {
      const std::string file = entry.path().filename().string();
      if (entry.path().extension() != ".ini" || file.find(".after.") != std::string::npos) continue;
      const std::string name = entry.path().stem().string();
      cases[name].bytes = ReadBytes(entry.path());
    }
    for (const auto& r : testing_util::ReadTable(dir / "reads.tsv")) {
      Case& c = cases[r.at(0)];
      c.reads.push_back({Unescape(r.at(1)), Unescape(r.at(2)),
                         r.at(3) == "(null)" ? std::nullopt : std::optional(Unescape(r.at(3))),
                         DWORD(std::stoul(r.at(4)))});
    }
  }
  for (const auto& r : testing_util::ReadTable(TARVOPROBE_EXPECTED_DIFFERENCES))
    cases.at(r.at(0)).difference = r.at(1);
  std::vector<Case> corpus;
  for (auto& [name, c] : cases) {
    c.name = name;
    for (DWORD size : {0u, 1u, 2u, 3u, 4u, 5u, 6u, 14u, 15u, 16u, 41u, kBig}) {
      c.reads.push_back({"System", "ZorvaneOrBetter", "NoINI", size});
    }
    corpus.push_back(c);
  }
  return corpus;
}

// A read as the oracle prints it: count, the bytes copied, whether a NUL ends them.
std::string StandInRead(const fs::path& file, const Read& r) {
  std::string buffer(r.size + 16, '\x7f');
  const DWORD count = GetPrivateProfileStringA(r.section.c_str(), r.key.c_str(),
                                               r.default_value ? r.default_value->c_str() : nullptr,
                                               buffer.data(), r.size, file.c_str());
  return std::to_string(count) + "\t" + wine::Escape(buffer.substr(0, count)) + "\t" +
         (buffer[count] == '\0' ? "nul" : "nonul");
}

std::string ReadCommand(const fs::path& file, const Read& r) {
  return "read\t" + file.string() + "\t" + wine::Escape(r.section) + "\t" + wine::Escape(r.key) +
         "\t" + (r.default_value ? wine::Escape(*r.default_value) : "(null)") + "\t" +
         std::to_string(r.size);
}

// Wine cuts one character too many from a quoted value (or default) whose
// inner length is exactly the buffer size minus one.
bool IsQuoteQuirk(const std::string& ours, const std::string& theirs, const Read& r,
                  const std::string& file) {
  const size_t tab = ours.find('\t'), their_tab = theirs.find('\t');
  const std::string value = Unescape(ours.substr(tab + 1, ours.rfind('\t') - tab - 1));
  if (r.size < 2 || std::stoul(ours) != r.size - 1 || std::stoul(theirs) != r.size - 2)
    return false;
  if (Unescape(theirs.substr(their_tab + 1, theirs.rfind('\t') - their_tab - 1)) !=
      value.substr(0, r.size - 2)) {
    return false;
  }
  const std::string source = file + (r.default_value ? *r.default_value : "");
  return source.find('"' + value + '"') != std::string::npos ||
         source.find('\'' + value + '\'') != std::string::npos;
}

// The sections and keys of a dump, to read them through the stand-in too.
std::vector<std::pair<std::string, std::string>> KeysOf(const std::string& dump) {
  std::vector<std::pair<std::string, std::string>> keys;
  std::string section;
  size_t start = 0;
  for (size_t tab; (tab = dump.find('\t', start)) != std::string::npos; start = tab + 1) {
    const std::string item = dump.substr(start, tab - start);
    if (item.rfind("S:", 0) == 0) section = Unescape(item.substr(2));
    if (item.rfind("K:", 0) == 0)
      keys.emplace_back(section, Unescape(item.substr(2, item.find('=') - 2)));
  }
  return keys;
}

// Lines with their endings, in code units (UTF-16 files by their BOM).
std::vector<std::u16string> Lines(const std::string& bytes) {
  std::u16string units;
  const bool le = bytes.rfind("\xff\xfe", 0) == 0, be = bytes.rfind("\xfe\xff", 0) == 0;
  for (size_t i = 0; i < bytes.size(); i += le || be ? 2 : 1) {
    const auto b = [&](size_t k) {
      return char16_t(static_cast<unsigned char>(k < bytes.size() ? bytes[k] : 0));
    };
    units += le ? char16_t(b(i) | b(i + 1) << 8) : be ? char16_t(b(i) << 8 | b(i + 1)) : b(i);
  }
  std::vector<std::u16string> lines(1);
  for (size_t i = 0; i < units.size(); ++i) {
    lines.back() += units[i];
    const bool crlf = units[i] == '\r' && i + 1 < units.size() && units[i + 1] == '\n';
    if (crlf) lines.back() += units[++i];
    if (units[i] == '\r' || units[i] == '\n') lines.emplace_back();
  }
  if (lines.back().empty()) lines.pop_back();
  return lines;
}

// True when `after` is `before` with one line changed, or with one line (or
// a header and a line) added; a last line may gain the ending it lacked.
bool ChangesOneLine(const std::string& before, const std::string& after) {
  const auto a = Lines(before), b = Lines(after);
  size_t head = 0, tail = 0;
  while (head < a.size() && head < b.size() && a[head] == b[head]) ++head;
  while (tail < a.size() - head && tail < b.size() - head &&
         a[a.size() - 1 - tail] == b[b.size() - 1 - tail])
    ++tail;
  const size_t removed = a.size() - head - tail, added = b.size() - head - tail;
  if (removed == 1 && tail == 0 && added >= 2 && b[head].rfind(a[head], 0) == 0 &&
      a[head].find_first_of(u"\r\n") == std::u16string::npos) {
    return added <= 3;  // the unended last line, now ended, and what follows it
  }
  return (removed == 0 && added <= 2) || (removed == 1 && added == 1);
}

// Escaped, and cut short for messages: some lines run to 100 KB.
std::string Show(const std::string& s) {
  const std::string e = wine::Escape(s);
  return e.size() <= 200 ? e : e.substr(0, 200) + "...(" + std::to_string(e.size()) + " chars)";
}

struct Tally {
  int reads = 0, reads_agree = 0, quirks = 0, reads_listed = 0, writes = 0, writes_agree = 0,
      refused = 0, writes_listed = 0, listed = 0;
};

struct ReadResult {
  Read read;
  std::string ours, theirs;
};

// What the stand-in and one service made of one file of the corpus.
struct Result {
  std::vector<ReadResult> reads;
  std::string dump;
  BOOL standin_wrote[2];
  bool wine_wrote[2];
  std::optional<std::string> standin_after[2], wine_after[2];
  std::string standin_dump[2], wine_dump[2];
  std::string standin_read_back[2];  // the key, as the platform reads the stand-in's file
};

using Results = std::map<std::string, Result>;

// Runs the corpus through the stand-in and through the service of `machine`.
Results Collect(const std::vector<Case>& corpus, const wine::Machine& machine,
                const fs::path& scratch) {
  Results results;
  for (const char* dir : {"orig", "standin-no", "standin-yes", "wine-no", "wine-yes"}) {
    fs::create_directory(scratch / dir);
  }
  const auto path = [&](const char* dir, const Case& c) {
    return scratch / dir / (c.name + ".ini");
  };
  // Wine, first pass: reads of the originals, their dumps, its own writes.
  std::vector<std::string> first;
  for (const Case& c : corpus) {
    if (c.bytes) {
      for (const char* dir : {"orig", "standin-no", "standin-yes", "wine-no", "wine-yes"}) {
        WriteBytes(path(dir, c), *c.bytes);
      }
    }
    for (const Read& r : c.reads) first.push_back(ReadCommand(path("orig", c), r));
    first.push_back("dump\t" + path("orig", c).string());
    for (const char* v : kValues) {
      first.push_back("write\t" + path(v[0] == 'n' ? "wine-no" : "wine-yes", c).string() +
                      "\tSystem\tZorvaneOrBetter\t" + v);
    }
  }
  const auto answers = wine::AskOracle(machine, first, scratch);
  if (answers.size() != first.size()) {
    ADD_FAILURE() << machine.name << ": the oracle stopped early";
    return {};
  }

  // The stand-in's writes, then Wine, second pass: reads of every key it
  // listed, and how it reads the files both wrote.
  std::vector<std::string> second;
  size_t at = 0;
  for (const Case& c : corpus) {
    Result& result = results[c.name];
    for (const Read& r : c.reads) {
      result.reads.push_back({r, StandInRead(path("orig", c), r), answers[at++]});
    }
    result.dump = answers[at++];
    for (const auto& [section, key] : KeysOf(result.dump)) {
      for (const Read& r : {Read{section, key, "NoINI", 15}, Read{section, key, "(none)", kBig}}) {
        result.reads.push_back({r, StandInRead(path("orig", c), r), ""});
        second.push_back(ReadCommand(path("orig", c), r));
      }
    }
    for (int v = 0; v < 2; ++v) {
      const fs::path ours = path(v ? "standin-yes" : "standin-no", c);
      result.standin_wrote[v] =
          WritePrivateProfileStringA("System", "ZorvaneOrBetter", kValues[v], ours.c_str());
      result.wine_wrote[v] = answers[at++] == "1";
      result.standin_after[v] = ReadBytes(ours);
      result.wine_after[v] = ReadBytes(path(v ? "wine-yes" : "wine-no", c));
      second.push_back("dump\t" + ours.string());
      second.push_back("dump\t" + path(v ? "wine-yes" : "wine-no", c).string());
      second.push_back(ReadCommand(ours, {"System", "ZorvaneOrBetter", "NoINI", 15}));
    }
  }
  const auto more = wine::AskOracle(machine, second, scratch);
  if (more.size() != second.size()) {
    ADD_FAILURE() << machine.name << ": the oracle stopped early";
    return {};
  }
  at = 0;
  for (const Case& c : corpus) {
    Result& result = results[c.name];
    for (auto& read : result.reads) {
      if (read.theirs.empty()) read.theirs = more[at++];
    }
    for (int v = 0; v < 2; ++v) {
      result.standin_dump[v] = more[at++];
      result.wine_dump[v] = more[at++];
      result.standin_read_back[v] = more[at++];
    }
  }
  return results;
}

const std::vector<Case>& Corpus() {
  static const auto* corpus = new std::vector<Case>(LoadCorpus());
  return *corpus;
}

// Each service's results, collected once per test process.
const Results& ResultsOf(const wine::Machine& machine) {
  static auto* scratch = new testing_util::TempDir;
  static auto* results = new std::map<std::string, Results>;
  if (!results->count(machine.name)) {
    const fs::path dir = scratch->path() / machine.name;
    fs::create_directory(dir);
    (*results)[machine.name] = Collect(Corpus(), machine, dir);
  }
  return results->at(machine.name);
}

class DifferentialTest : public testing::TestWithParam<std::string> {
 protected:
  const Results& results() const { return ResultsOf(wine::ByName(GetParam())); }
};

TEST_P(DifferentialTest, StandInAgreesWithThePlatform) {
  const std::vector<Case>& corpus = Corpus();
  EXPECT_GE(corpus.size(), 60u) << "the corpus has shrunk";
  ASSERT_EQ(results().size(), corpus.size());
  Tally tally;
  for (const Case& c : corpus) {
    SCOPED_TRACE("case " + c.name);
    const Result& result = results().at(c.name);
    const std::string original = c.bytes.value_or("");
    int differences = 0;
    for (const ReadResult& r : result.reads) {
      ++tally.reads;
      if (r.ours == r.theirs) {
        ++tally.reads_agree;
      } else if (IsQuoteQuirk(r.ours, r.theirs, r.read, original)) {
        ++tally.quirks;
      } else if (c.difference == "windows") {
        ++differences;
        ++tally.reads_listed;
      } else {
        ADD_FAILURE() << "read " << Show(r.read.section) << "/" << Show(r.read.key) << " size "
                      << r.read.size << ": stand-in " << Show(r.ours) << ", platform "
                      << Show(r.theirs);
      }
    }
    for (int v = 0; v < 2; ++v) {
      SCOPED_TRACE(std::string("write ") + kValues[v]);
      ++tally.writes;
      if (c.difference == "refuses") {
        EXPECT_FALSE(result.standin_wrote[v]);
        EXPECT_EQ(result.standin_after[v], c.bytes) << "a refused write changed the file";
        EXPECT_TRUE(result.wine_wrote[v]);
        ++tally.refused;
        continue;
      }
      EXPECT_TRUE(result.standin_wrote[v]);
      EXPECT_TRUE(ChangesOneLine(original, result.standin_after[v].value_or("")))
          << "before: " << Show(original)
          << "\nafter: " << Show(result.standin_after[v].value_or(""));
      if (c.difference != "windows") {
        EXPECT_EQ(result.standin_read_back[v],
                  std::to_string(std::strlen(kValues[v])) + "\t" + kValues[v] + "\tnul")
            << "the platform does not read back what the stand-in wrote";
      }
      if (result.wine_wrote[v] && result.standin_dump[v] == result.wine_dump[v]) {
        ++tally.writes_agree;
      } else if (c.difference == "windows" || c.difference == "rewrite") {
        ++differences;
        ++tally.writes_listed;
      } else {
        ADD_FAILURE() << "stand-in wrote " << result.standin_wrote[v] << ", platform "
                      << result.wine_wrote[v] << "\n  platform reads the stand-in's file as: "
                      << Show(result.standin_dump[v])
                      << "\n  and its own as:                        " << Show(result.wine_dump[v]);
      }
    }
    if (c.difference == "windows" || c.difference == "rewrite") {
      EXPECT_GT(differences, 0) << "listed as a difference, but Wine agrees";
      ++tally.listed;
    }
  }
  std::cout << GetParam() << " service, " << corpus.size() << " files. Reads: " << tally.reads
            << ", identical " << tally.reads_agree << ", Wine's quote quirk " << tally.quirks
            << ", listed Windows-against-Wine differences " << tally.reads_listed
            << ". Writes: " << tally.writes << ", read alike " << tally.writes_agree
            << ", listed differences " << tally.writes_listed << ", refused by the stand-in "
            << tally.refused << ". Files with a listed"
            << " difference: " << tally.listed << " (windows or rewrite)\n";
}

// The quirk the suite tolerates must really be Wine's, on the case that shows it.
TEST_P(DifferentialTest, QuoteQuirkIsWinesOnly) {
  ASSERT_TRUE(results().count("lengths"));
  const Result& lengths = results().at("lengths");
  bool seen = false;
  for (const ReadResult& r : lengths.reads) {
    if (r.read.key == "Q14" && r.read.size == 15) {
      EXPECT_EQ(r.ours, "14\tabcdefghijklmn\tnul");
      EXPECT_EQ(r.theirs, "13\tabcdefghijklm\tnul");
      seen = true;
    }
  }
  EXPECT_TRUE(seen);
}

INSTANTIATE_TEST_SUITE_P(Services, DifferentialTest, testing::Values("i686", "x86_64"),
                         [](const auto& info) { return info.param; });

// The 32-bit and the 64-bit service answer alike: every read, every listing,
// and the file each writes. Where they part, this says where.
TEST(ServicesTest, ThirtyTwoAndSixtyFourBitServicesAgree) {
  const Results &narrow = ResultsOf(wine::I686()), &wide = ResultsOf(wine::X86_64());
  ASSERT_EQ(narrow.size(), Corpus().size());
  ASSERT_EQ(wide.size(), Corpus().size());
  std::map<std::string, std::string> difference;
  for (const Case& c : Corpus()) difference[c.name] = c.difference;
  int compared = 0;
  for (const auto& [name, a] : narrow) {
    const Result& b = wide.at(name);
    ASSERT_EQ(a.reads.size(), b.reads.size()) << name << ": the services list different keys";
    for (size_t i = 0; i < a.reads.size(); ++i, ++compared) {
      const Read& r = a.reads[i].read;
      EXPECT_EQ(a.reads[i].theirs, b.reads[i].theirs)
          << name << ": read " << Show(r.section) << "/" << Show(r.key) << " size " << r.size;
    }
    EXPECT_EQ(a.dump, b.dump) << name << ": the services list the file differently";
    for (int v = 0; v < 2; ++v, compared += 3) {
      EXPECT_EQ(a.wine_wrote[v], b.wine_wrote[v]) << name << ": write " << kValues[v];
      EXPECT_EQ(a.standin_dump[v], b.standin_dump[v])
          << name << ": the services read the stand-in's file differently";
      // Where the stand-in refuses, Wine reads past the end of a file that
      // ends in half a UTF-16 unit: what it writes there is whatever lay
      // beyond, and the two services may well differ.
      if (difference.at(name) == "refuses" && a.wine_after[v] != b.wine_after[v]) {
        std::cout << name << ", write " << kValues[v]
                  << ": the services' files differ where Wine reads past the end:\n  32-bit "
                  << Show(a.wine_after[v].value_or("")) << "\n  64-bit "
                  << Show(b.wine_after[v].value_or("")) << "\n";
        continue;
      }
      EXPECT_EQ(a.wine_after[v], b.wine_after[v]) << name << ": the files written differ";
    }
  }
  std::cout << "32-bit against 64-bit service: " << compared << " answers compared\n";
}

}  // namespace
