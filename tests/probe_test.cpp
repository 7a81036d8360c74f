#include "probe.h"

#include <gtest/gtest.h>

#include "platform/fake_flags_register.h"

namespace {

constexpr FlagsWord kId = FlagsWord{1} << 21;

struct Processor {
  const char* name;
  EmulatedFlags::Id id;
  FlagsWord found;  // the register when the probe starts
  bool capable;
};

const Processor kProcessors[] = {
    {"IdHeldAt0", EmulatedFlags::kHeldAt0, 0x000202, false},
    {"IdHeldAt1", EmulatedFlags::kHeldAt1, 0x200202, false},
    {"TogglesFrom0", EmulatedFlags::kToggles, 0x000202, true},
    {"TogglesFrom1", EmulatedFlags::kToggles, 0x200202, true},
};

// Arithmetic flags, and AC and DF too, changing between reads must not sway
// the verdict: only bit 21 counts.
const FlagsWord kChurns[] = {0, 0x8D5, 0x8D5 | 0x40000 | 0x400};

class ProbeTest : public testing::TestWithParam<std::tuple<Processor, FlagsWord>> {};

TEST_P(ProbeTest, TogglesBit21ThenRestoresBeforeJudging) {
  const auto& [processor, churn] = GetParam();
  EmulatedFlags& flags = Emulated();
  for (int call = 0; call < 2; ++call) {
    flags = EmulatedFlags{processor.id, processor.found, churn, {}};
    EXPECT_EQ(ProbeIdFlag(), processor.capable) << "call " << call;

    // Read, write the inverted bit, read back, restore: nothing after it.
    ASSERT_EQ(flags.log.size(), 4u);
    const FlagsWord found = flags.log[0].value;
    EXPECT_FALSE(flags.log[0].write);
    EXPECT_TRUE(flags.log[1].write);
    EXPECT_EQ(flags.log[1].value, found ^ kId);
    EXPECT_FALSE(flags.log[2].write);
    EXPECT_TRUE(flags.log[3].write);
    EXPECT_EQ(flags.log[3].value, found) << "the restore must be the value found, all bits";
    EXPECT_EQ(flags.value & kId, found & kId);
  }
}

INSTANTIATE_TEST_SUITE_P(Processors, ProbeTest,
                         testing::Combine(testing::ValuesIn(kProcessors),
                                          testing::ValuesIn(kChurns)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_Churn" +
                                  std::to_string(std::get<1>(info.param));
                         });

}  // namespace
