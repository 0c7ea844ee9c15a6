#include "core/Paths.h"

#include <gtest/gtest.h>

using namespace vrln::core;

TEST(DirectoryPart, EndsAtTheLastBackslashOrColon) {
    EXPECT_EQ(DirectoryPart("C:\\Tools\\VrlnSchd.exe"), "C:\\Tools\\");
    EXPECT_EQ(DirectoryPart("C:VrlnSchd.exe"), "C:");
    EXPECT_EQ(DirectoryPart("VrlnSchd.exe"), "");
    EXPECT_EQ(FileNamePart("C:\\Tools\\VrlnSchd.exe"), "VrlnSchd.exe");
    EXPECT_EQ(FileNamePart("C:name"), "name");
}

TEST(InstanceMutexBaseName, ReplacesEveryBackslash) {
    EXPECT_EQ(InstanceMutexBaseName("VrlnSchd.exe"), "APPLICATION-VrlnSchd.exe");
    EXPECT_EQ(InstanceMutexBaseName("Vorlane 98"), "APPLICATION-Vorlane 98");
    EXPECT_EQ(InstanceMutexBaseName("a\\b\\c"), "APPLICATION-a_b_c");
}

TEST(HomePageOf, IsTheWebFilesDirectoryWithHomeHtm) {
    EXPECT_EQ(HomePageOf("C:\\Sites\\Example\\site.vrl"), "C:\\Sites\\Example\\_home.htm");
    EXPECT_EQ(HomePageOf(""), "_home.htm");
    EXPECT_EQ(HomePageOf("bare.vrl"), "_home.htm");
}

// ---- Double-byte code pages -------------------------------------------------------

namespace {
// Lead bytes of code page 932 (Shift-JIS). "\x83\x5C" is a katakana whose second byte is a backslash.
bool IsShiftJisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
}  // namespace

TEST(DoubleBytePaths, SplitOnlyAtBackslashesAndColonsThatAreCharactersOfTheirOwn) {
    const std::string folder = "C:\\Webs\\\x83\x5C\\";
    EXPECT_EQ(DirectoryPart(folder + "site.vrl", IsShiftJisLead), folder);
    EXPECT_EQ(HomePageOf(folder + "site.vrl", IsShiftJisLead), folder + "_home.htm");
    EXPECT_EQ(FileNamePart("C:\\Tools\\\x83\x5C.exe", IsShiftJisLead), "\x83\x5C.exe");
    EXPECT_EQ(FileNamePart("\x83\x5C", IsShiftJisLead), "\x83\x5C");
    EXPECT_EQ(DirectoryPart("C:\x83\x5C", IsShiftJisLead), "C:");
    EXPECT_EQ(LastBackslashOf("C:\\a\\\x83\x5C", IsShiftJisLead), 4u);
    EXPECT_EQ(LastBackslashOf("\x83\x5C", IsShiftJisLead), std::string::npos);
    // A lead byte at the very end has no second byte to skip.
    EXPECT_EQ(DirectoryPart("C:\\a\\\x83", IsShiftJisLead), "C:\\a\\");
    // Without the test the same bytes split inside the character.
    EXPECT_EQ(DirectoryPart(folder + "site.vrl"), folder);
    EXPECT_EQ(FileNamePart("C:\\Tools\\\x83\x5C.exe"), ".exe");
    EXPECT_EQ(LastBackslashOf("C:\\a\\\x83\x5C"), 6u);
}
