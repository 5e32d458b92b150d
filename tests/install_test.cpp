// Installing: `cmake --install` into a fresh prefix, the man page as man(1)
// renders it, and the Debian package that `cpack -G DEB` builds.
#include "run_tool.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace strmfix::testing {
namespace {

namespace fs = std::filesystem;

const std::string man_page = std::string(STRMFIX_SOURCE_DIR) + "/man/strmfix.1";

ToolRun shell(const std::string& command) {
    ToolOptions options;
    options.program = "/bin/sh";
    return run_tool({"-c", command}, options);
}

TEST(Install, PutsTheBinaryAndTheManPageUnderThePrefix) {
    TempDir prefix;
    ToolOptions cmake;
    cmake.program = CMAKE_COMMAND;
    const ToolRun install = run_tool({"--install", STRMFIX_BUILD_DIR, "--prefix", prefix.path().string()}, cmake);
    ASSERT_EQ(install.status, 0) << install.out << install.err;

    const fs::path binary = prefix.path() / "bin/strmfix";
    ASSERT_TRUE(fs::is_regular_file(binary));
    EXPECT_NE(fs::status(binary).permissions() & fs::perms::others_exec, fs::perms::none);
    ToolOptions installed;
    installed.program = binary.string();
    const ToolRun usage = run_tool({}, installed);
    EXPECT_EQ(usage.status, 1);
    EXPECT_EQ(usage.out, "strmfix inputfile outputfile");

    EXPECT_EQ(read_file(prefix.path() / "share/man/man1/strmfix.1"), read_file(man_page));
}

TEST(ManPage, RendersWithoutWarningsAndCoversEveryMessage) {
    const ToolRun man = shell("MANWIDTH=80 man --warnings -l " + man_page + " 2>&1 >/dev/null");
    EXPECT_EQ(man.status, 0);
    EXPECT_EQ(man.out, "");
    const ToolRun groff = shell("groff -man -ww -z " + man_page);
    EXPECT_EQ(groff.status, 0);
    EXPECT_EQ(groff.err, "");

    const ToolRun text = shell("MANWIDTH=200 man -l " + man_page);
    for (const char* part :
         {"SYNOPSIS", "EXIT STATUS", "EXAMPLES", "is the same file as", "is a terminal; will not write a stream there",
          "inside the record at byte", "do not fit in 16 bits", "corrupt gzip data (at compressed byte",
          "gzip stream ends early (at compressed byte", "data after the end of the gzip stream",
          "strmfix: standard output:", "/dev/null", ".gds.gz"}) {
        EXPECT_NE(text.out.find(part), std::string::npos) << part;
    }
}

TEST(DebianPackage, HoldsTheBinaryAndTheManPageAndNeedsZlib) {
    TempDir out;
    ToolOptions cpack;
    cpack.program = CPACK_COMMAND;
    const ToolRun build = run_tool({"--config", std::string(STRMFIX_BUILD_DIR) + "/CPackConfig.cmake", "-G", "DEB",
                                    "-B", out.path().string()},
                                   cpack);
    ASSERT_EQ(build.status, 0) << build.out << build.err;
    fs::path deb;
    for (const auto& entry : fs::directory_iterator(out.path()))
        if (entry.path().extension() == ".deb") deb = entry.path();
    ASSERT_FALSE(deb.empty());

    const ToolRun contents = shell("dpkg-deb -c " + deb.string());
    EXPECT_EQ(contents.status, 0);
    EXPECT_NE(contents.out.find("./usr/bin/strmfix\n"), std::string::npos) << contents.out;
    EXPECT_NE(contents.out.find("./usr/share/man/man1/strmfix.1"), std::string::npos) << contents.out;
    const ToolRun depends = shell("dpkg-deb -f " + deb.string() + " Depends Maintainer Package");
    EXPECT_NE(depends.out.find("zlib1g"), std::string::npos) << depends.out;
    EXPECT_NE(depends.out.find("Package: strmfix"), std::string::npos) << depends.out;
}

} // namespace
} // namespace strmfix::testing
