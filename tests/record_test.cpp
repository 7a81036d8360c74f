#include "record.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "outcome_table.h"

namespace {

using testing_util::ReadBytes;

class RecordTest : public testing::TestWithParam<Outcome> {};

TEST_P(RecordTest, LeavesTheTabledFile) {
  const Outcome& o = GetParam();
  testing_util::TempDir dir;
  setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
  const auto ini = dir.path() / "tarvo.ini";
  if (o.before) testing_util::WriteBytes(ini, *o.before);
  const auto original = Version(ini);

  RecordCapability(o.capable);
  EXPECT_EQ(ReadBytes(ini), o.after);
  if (o.before == o.after)
    EXPECT_EQ(Version(ini), original) << "an unchanged file is not rewritten";

  const auto first = Version(ini);
  RecordCapability(o.capable);
  EXPECT_EQ(ReadBytes(ini), o.after) << "a second run changes nothing";
  EXPECT_EQ(Version(ini), first);
  EXPECT_EQ(ReadBytes(ini).value_or("").find("NoINI"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, RecordTest, testing::ValuesIn(LoadOutcomes()),
                         [](const auto& info) { return info.param.name; });

}  // namespace
