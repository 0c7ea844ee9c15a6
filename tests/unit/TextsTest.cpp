#include "core/Texts.h"

#include <gtest/gtest.h>

#include <string>

using namespace vrln::core;

TEST(WebMenuItemText, NumbersFromOneFollowedByOneBlank) {
    EXPECT_EQ(WebMenuItemText(0, "Site"), "&1 Site");
    EXPECT_EQ(WebMenuItemText(8, "Nine"), "&9 Nine");
    EXPECT_EQ(WebMenuItemText(9, "Ten"), "&10 Ten");
    EXPECT_EQ(WebMenuItemText(11, "Twelve"), "&12 Twelve");
    EXPECT_EQ(WebMenuItemText(0, ""), "&1 ");
}

TEST(WebMenuItemText, CutsATitleLongerThanThirtyCharacters) {
    const std::string thirty = "123456789012345678901234567890";
    EXPECT_EQ(WebMenuItemText(0, thirty), "&1 " + thirty);
    EXPECT_EQ(WebMenuItemText(0, thirty + "X"), "&1 " + thirty + "...");
    EXPECT_EQ(WebMenuItemText(1, std::string(255, 'w')), "&2 " + std::string(30, 'w') + "...");
}

TEST(WebMenuItemText, KeepsAnAmpersandInTheTitle) {
    EXPECT_EQ(WebMenuItemText(0, "Tom & Jerry"), "&1 Tom & Jerry");
}

TEST(TooltipText, ShowsSuspensionBeforeTheNextLaunch) {
    EXPECT_EQ(TooltipText(0x01, "Wednesday 30 Sep 1998,14:05:00"), "<Suspended>");
    EXPECT_EQ(TooltipText(0x03, ""), "<Suspended>");
    EXPECT_EQ(TooltipText(0xFF, "x"), "<Suspended>");
    EXPECT_EQ(TooltipText(0x01, "x", true), "<Suspended>");
    EXPECT_EQ(TooltipText(0x02, "x", true), "<Waiting for a network connection>");
}

TEST(TooltipText, ShowsTheNextLaunchOrThatNoneIsWaiting) {
    EXPECT_EQ(TooltipText(0x00, ""), "<No task is waiting to run>");
    EXPECT_EQ(TooltipText(0x02, ""), "<No task is waiting to run>");
    EXPECT_EQ(TooltipText(0x02, "Wednesday 30 Sep 1998,14:05:00"),
              "<Next launch at Wednesday 30 Sep 1998,14:05:00>");
    // A percent sign in a locale's name is text, not a format.
    EXPECT_EQ(TooltipText(0x00, "%s %d"), "<Next launch at %s %d>");
}

TEST(CutTip, KeepsAtMostSixtyThreeCharacters) {
    const std::string s63(63, 'a');
    EXPECT_EQ(CutTip(s63), s63);
    EXPECT_EQ(CutTip(s63 + "b"), s63);
    EXPECT_EQ(CutTip(std::string(500, 'c')), std::string(63, 'c'));
    EXPECT_EQ(CutTip(""), "");
    const std::string longLaunch = TooltipText(0, "Wednesday 30 September 1998,14:05:00 with a long name");
    EXPECT_EQ(CutTip(longLaunch), longLaunch.substr(0, 63));
}

TEST(LaunchFailureText, GivesTheReasonInWordsThenThePath) {
    const char* const path = "C:\\Program Files\\Vorlane\\VRLN98.EXE";
    const struct Case { unsigned result; bool notAProgram; const char* reason; } cases[] = {
        {2, true, "The file was not found:"}, {3, false, "The folder was not found:"},
        {5, false, "Access was denied to"}, {11, true, "This is not a valid program:"},
        {11, false, "The program could not be started:"}, {0, false, "There are not enough resources to start"},
        {8, false, "There is not enough memory to start"}, {26, true, "Windows reported error 26 for"}};
    for (const Case& c : cases)
        EXPECT_EQ(LaunchFailureText(path, c.result, c.notAProgram), std::string(c.reason) + "\n" + path);
}

TEST(HeadShowsNoProgram, OnlyWhereTheBytesProveIt) {
    // A DOS header whose word at 0x3C gives where the signature lies.
    const auto dos = [](std::string offset) { return "MZ" + std::string(0x3A, '\0') + offset; };
    const std::string signature("PE\0\0", 4), program = dos({"\x80\0\0\0", 4}) + std::string(0x40, 'x') + signature;
    const std::string far = dos({"\0\x20\0\0", 4}), beyond = dos("\xFC\xFF\xFF\xFF");
    const auto cut = [](const std::string& head) { return head + std::string(kProgramHeadBytes - head.size(), 'x'); };
    const struct Case { std::string head; bool noProgram; } cases[] = {
        {program, false}, {cut(program), false}, {"", true}, {program.substr(0, 0x3F), true},
        {"ZM" + program.substr(2), true}, {program.substr(0, 0x82) + "NE" + signature.substr(2), true},
        {program.substr(0, 0x83), true}, {far, true}, {cut(far), false}, {beyond, true}, {cut(beyond), false}};
    for (const Case& c : cases) EXPECT_EQ(HeadShowsNoProgram(c.head), c.noProgram) << c.head.size() << " bytes";
}

TEST(CutText, NeverEndsInsideADoubleByteCharacter) {
    const auto lead = [](unsigned char c) { return c == 0x83; };
    EXPECT_EQ(CutText("abcdef", 4), "abcd");
    EXPECT_EQ(CutText("abc", 4), "abc");
    EXPECT_EQ(CutText("ab\x83\x5C" "c", 3, lead), "ab");
    EXPECT_EQ(CutText("ab\x83\x5C" "c", 4, lead), "ab\x83\x5C");
}
