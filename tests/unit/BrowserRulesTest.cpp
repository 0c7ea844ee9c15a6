#include "core/Browser.h"

#include <gtest/gtest.h>

#include <string>

using namespace vrln::core;

TEST(OpenUrlRequestItem, QuotesThePageAndAddsTheFixedArguments) {
    const std::string item = OpenUrlRequestItem("C:\\Webs\\Site\\_home.htm");
    EXPECT_EQ(item, "\"C:\\Webs\\Site\\_home.htm\",,0xffffffff,0x00000000,,,");
    EXPECT_EQ(item.size(), 50u);
    EXPECT_EQ(OpenUrlRequestItem(""), "\"\",,0xffffffff,0x00000000,,,");
}

TEST(OpenUrlRequestItem, KeepsAPageWithBlanksWholeInsideTheQuotes) {
    EXPECT_EQ(OpenUrlRequestItem("C:\\My Webs\\A Site\\_home.htm"),
              "\"C:\\My Webs\\A Site\\_home.htm\",,0xffffffff,0x00000000,,,");
}

TEST(DdeServiceNameOf, UpperCasesTheFileNameAndCutsAtTheFirstDot) {
    EXPECT_EQ(DdeServiceNameOf("C:\\Program Files\\Web Browser\\browse.exe"), "BROWSE");
    EXPECT_EQ(DdeServiceNameOf("D:\\Apps\\my.web.exe"), "MY");
    EXPECT_EQ(DdeServiceNameOf("C:\\PROGRA~1\\WEBBRO~1\\BROWSE~1.EXE"), "BROWSE~1");
    EXPECT_EQ(DdeServiceNameOf("C:browse.exe"), "BROWSE");
    EXPECT_EQ(DdeServiceNameOf("C:\\Apps\\nodot"), "NODOT");
    EXPECT_EQ(DdeServiceNameOf("C:\\Apps\\.hidden"), "");
    EXPECT_EQ(DdeServiceNameOf(""), "");
}

TEST(DdeServiceNameOf, ChangesOnlyAsciiLetters) {
    EXPECT_EQ(DdeServiceNameOf("C:\\x\\\xE9t\xE9-2_z.exe"), "\xE9T\xE9-2_Z");
}

TEST(DdeServiceNameOf, KeepsDoubleByteCharactersWhole) {
    // Code page 932: the second bytes 0x5C (a backslash) and 0x61 ('a') belong to their characters.
    const auto isLead = [](unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); };
    EXPECT_EQ(DdeServiceNameOf("C:\\x\\\x83\x5C\x83\x61" "b.exe", isLead), "\x83\x5C\x83\x61" "B");
    EXPECT_EQ(OwnDdeServiceNameOf("C:\\x\\\x83\x5Cschd.exe", isLead), "\x83\x5Cschd");
}

TEST(OwnDdeServiceNameOf, KeepsTheCaseAndCutsAtTheFirstDot) {
    EXPECT_EQ(OwnDdeServiceNameOf("C:\\Program Files\\Vorlane\\VrlnSchd.exe"), "VrlnSchd");
    EXPECT_EQ(OwnDdeServiceNameOf("C:\\x\\my.web.exe"), "my");
    EXPECT_EQ(OwnDdeServiceNameOf("C:\\dir.d\\noext"), "noext");
    EXPECT_EQ(OwnDdeServiceNameOf(""), "");
}

TEST(ExecutableOfOpenCommand, TakesTheTextBetweenTheFirstTwoQuotes) {
    EXPECT_EQ(ExecutableOfOpenCommand("\"C:\\Program Files\\Web Browser\\browse.exe\" -nohome \"%1\""),
              "C:\\Program Files\\Web Browser\\browse.exe");
    EXPECT_EQ(ExecutableOfOpenCommand("\"C:\\b.exe\""), "C:\\b.exe");
    EXPECT_EQ(ExecutableOfOpenCommand("\"\" %1"), "");
}

TEST(ExecutableOfOpenCommand, GivesNothingWhenTheClosingQuoteIsMissing) {
    EXPECT_EQ(ExecutableOfOpenCommand("\"C:\\Program Files\\b.exe %1"), "");
    EXPECT_EQ(ExecutableOfOpenCommand("\""), "");
}

TEST(ExecutableOfOpenCommand, LooksForTheClosingQuoteOnlyIn255Characters) {
    const std::string path254(254, 'p');
    EXPECT_EQ(ExecutableOfOpenCommand("\"" + path254 + "\" %1"), path254);
    EXPECT_EQ(ExecutableOfOpenCommand("\"" + path254 + "q\" %1"), "");
}

TEST(ExecutableOfOpenCommand, CutsAnUnquotedCommandAtTheFirstBlank) {
    EXPECT_EQ(ExecutableOfOpenCommand("C:\\BROWSE\\BROWSE.EXE %1"), "C:\\BROWSE\\BROWSE.EXE");
    EXPECT_EQ(ExecutableOfOpenCommand("C:\\Program Files\\b.exe %1"), "C:\\Program");
    EXPECT_EQ(ExecutableOfOpenCommand("C:\\b.exe"), "C:\\b.exe");
    EXPECT_EQ(ExecutableOfOpenCommand("C:\\b.exe\t-x"), "C:\\b.exe\t-x");
    EXPECT_EQ(ExecutableOfOpenCommand(" C:\\b.exe"), "");
    EXPECT_EQ(ExecutableOfOpenCommand(""), "");
}

TEST(ExecutableOfOpenCommand, EndsTheCommandAtANul) {
    EXPECT_EQ(ExecutableOfOpenCommand(std::string("C:\\b.exe\0 x", 11)), "C:\\b.exe");
    EXPECT_EQ(ExecutableOfOpenCommand(std::string("\"C:\\b\0.exe\"", 11)), "");
}

TEST(BrowserCommandLine, PutsABlankBetweenProgramAndPage) {
    EXPECT_EQ(BrowserCommandLine("C:\\B\\browse.exe", "C:\\Webs\\Site\\_home.htm"),
              "\"C:\\B\\browse.exe\" C:\\Webs\\Site\\_home.htm");
    EXPECT_EQ(BrowserCommandLine("\\\\srv\\B\\browse.exe", "C:\\a-b\\_home.htm"),
              "\"\\\\srv\\B\\browse.exe\" C:\\a-b\\_home.htm");
}

TEST(BrowserCommandLine, QuotesEachPartThatContainsABlank) {
    EXPECT_EQ(BrowserCommandLine("C:\\Program Files\\B\\browse.exe", "C:\\My Webs\\_home.htm"),
              "\"C:\\Program Files\\B\\browse.exe\" \"C:\\My Webs\\_home.htm\"");
    EXPECT_EQ(BrowserCommandLine("C:\\B\\browse.exe", "C:\\My\tWebs\\_home.htm"),
              "\"C:\\B\\browse.exe\" \"C:\\My\tWebs\\_home.htm\"");
    // Backslashes before a closing quote are doubled, or the quote would be taken as text.
    EXPECT_EQ(BrowserCommandLine("C:\\B\\browse.exe", "C:\\My Webs\\"), "\"C:\\B\\browse.exe\" \"C:\\My Webs\\\\\"");
}

TEST(BrowserCommandLine, RefusesAPageThatCannotBePassedSafely) {
    EXPECT_EQ(BrowserCommandLine("C:\\B\\browse.exe", "C:\\x\" -evil \"y"), std::nullopt);
    EXPECT_EQ(BrowserCommandLine("C:\\B\\browse.exe", "-remote"), std::nullopt);
    EXPECT_EQ(BrowserCommandLine("C:\\B\\browse.exe", std::string("C:\\a\0b", 6)), std::nullopt);
    EXPECT_EQ(BrowserCommandLine("C:\\B\\browse.exe", ""), std::nullopt);
}

TEST(BrowserCommandLine, RefusesAMissingQuotedOrRelativeProgram) {
    // Without a browser the page itself would become the program to run; a
    // relative name would be searched for in folders where anything may lie.
    for (const char* exe : {"", "BROWSE.EXE", "B\\browse.exe", "\\B\\browse.exe", "C:browse.exe"})
        EXPECT_EQ(BrowserCommandLine(exe, "C:\\Webs\\Site\\_home.htm"), std::nullopt) << exe;
    EXPECT_EQ(BrowserCommandLine("C:\\B\\\"x\".exe", "C:\\Webs\\Site\\_home.htm"), std::nullopt);
}

TEST(QuoteIfBlank, QuotesOnlyAPathWithABlank) {
    EXPECT_EQ(QuoteIfBlank("C:\\Tools\\VrlnSchd.exe"), "C:\\Tools\\VrlnSchd.exe");
    EXPECT_EQ(QuoteIfBlank("C:\\Program Files\\VrlnSchd.exe"), "\"C:\\Program Files\\VrlnSchd.exe\"");
    EXPECT_EQ(QuoteIfBlank(""), "");
}
