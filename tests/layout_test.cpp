// Whole layouts from the project's generator: the defective form, repaired,
// must equal the sound form byte for byte, with one notice per AREF.
#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <string>

namespace strmfix::testing {
namespace {

struct LayoutCase {
    std::string name;
    std::vector<std::string> generator_args;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class GeneratedLayout : public ::testing::TestWithParam<LayoutCase> {};

Bytes without_padding(Bytes bytes) {
    while (!bytes.empty() && bytes.back() == 0) bytes.pop_back();
    return bytes;
}

std::string expected_notices(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += "colrow " + std::to_string(i) + " \n";
    return text;
}

TEST_P(GeneratedLayout, RepairEqualsTheSoundFormAndSecondRunChangesNothing) {
    TempDir dir;
    const std::string sound = dir / "sound.gds";
    const std::string defective = dir / "defective.gds";
    const std::string repaired = dir / "repaired.gds";
    const std::string again = dir / "again.gds";

    std::vector<std::string> args = {"--sound", sound, "--defective", defective, "--count-arefs"};
    args.insert(args.end(), GetParam().generator_args.begin(), GetParam().generator_args.end());
    ToolOptions generator;
    generator.program = GDSGEN_BINARY;
    const ToolRun generated = run_tool(args, generator);
    ASSERT_EQ(generated.status, 0) << generated.err;
    const std::size_t arefs = std::stoul(generated.out);

    const ToolRun repair = run_tool({defective, repaired});
    EXPECT_EQ(repair.status, 0) << repair.err;
    EXPECT_EQ(repair.err, "");
    EXPECT_EQ(repair.out, expected_notices(arefs));
    // Each file is padded to its own block multiple, so padding lengths may
    // differ; the records must not, and each repair saves 4 bytes.
    EXPECT_EQ(without_padding(read_file(repaired)), without_padding(read_file(sound)));
    EXPECT_EQ(read_file(repaired).size(), read_file(defective).size() - 4 * arefs);

    const ToolRun rerun = run_tool({repaired, again});
    EXPECT_EQ(rerun.status, 0) << rerun.err;
    EXPECT_EQ(rerun.out, "");
    EXPECT_EQ(read_file(again), read_file(repaired));
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, GeneratedLayout,
    ::testing::Values(LayoutCase{"small", {"--seed", "1", "--size", "16K"}},
                      LayoutCase{"padded", {"--seed", "2", "--size", "64K", "--pad"}},
                      LayoutCase{"many_arefs", {"--seed", "3", "--size", "256K", "--aref-every", "3"}},
                      LayoutCase{"large_counts", {"--seed", "4", "--size", "128K", "--aref-every", "5",
                                                  "--max-count", "65535", "--pad"}},
                      LayoutCase{"no_aref", {"--seed", "5", "--size", "64K", "--aref-every", "0"}},
                      LayoutCase{"several_blocks", {"--seed", "6", "--size", "3M", "--aref-every", "50"}}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

} // namespace
} // namespace strmfix::testing
