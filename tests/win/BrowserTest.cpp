// The browser launcher: which browser it chooses, and how it opens a page, with
// the stand-in browser (browse.exe, service BROWSE) as the user's browser.
#include "app/Browser.h"

#include "app/LocalWebs.h"
#include "dde/DdemanEx.h"

#include "TestSupport.h"
#include "WebsTestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

using namespace vrln;
using namespace vrln::test;

namespace {

constexpr const char* kTestClass = "VrlnTestHtmlFile";

// Where Windows' settings keep the user's choice, in the order they are asked.
const char* const kChoiceKeys[] = {
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.htm\\UserChoiceLatest\\ProgId",
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.htm\\UserChoice",
    "Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\http\\UserChoiceLatest\\ProgId",
    "Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\http\\UserChoice",
};

std::string Item(const std::string& page) { return "\"" + page + "\",,0xffffffff,0x00000000,,,"; }

std::string LongPathOf(const std::string& path) {
    char buffer[MAX_PATH] = {};
    const DWORD n = ::GetLongPathNameA(path.c_str(), buffer, sizeof buffer);
    return std::string(buffer, n);
}

// Upper-cased file name, cut before its first dot: what a service name should be.
std::string ServiceOf(const std::string& path) {
    std::string name = path.substr(path.find_last_of('\\') + 1);
    name = name.substr(0, name.find('.'));
    std::transform(name.begin(), name.end(), name.begin(), [](char c) {
        return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    });
    return name;
}

bool LogHasLineStartingWith(const std::string& log, const std::string& prefix) {
    for (const auto& line : LogLines(log)) {
        if (line.compare(0, prefix.size(), prefix) == 0) return true;
    }
    return false;
}

class BrowserTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The prefix's own choice (Wine: winebrowser for http links) stays out of the way.
        for (const char* key : kChoiceKeys) {
            noChoice_.push_back(std::make_unique<ScopedUserChoice>(key, ""));
            ASSERT_TRUE(noChoice_.back()->Ok()) << key;
        }
    }
    void TearDown() override { StopAllStandinBrowsers(); }

    // The main application's settings name this browser (nullptr: no ini file).
    void SetIniBrowser(const char* exe) {
        if (exe) WriteBytes(dir_.Path() + "Vorlane.ini", std::string("[Browser]\r\nExeName=") + exe + "\r\n");
    }
    // A file that stands for an installed browser.
    std::string MakeFile(const std::string& relative) {
        const std::string path = dir_.Make(relative);
        WriteBytes(path, "MZ");
        return path;
    }
    std::string CopyStandin(const std::string& relative) {
        const std::string path = dir_.Make(relative);
        ::CopyFileA(StandinBrowserPath().c_str(), path.c_str(), FALSE);
        return path;
    }

    std::vector<std::unique_ptr<ScopedUserChoice>> noChoice_;
    TempDir dir_;
    ScopedProfileString workPath_{"VORLANE", "WORKPATH", dir_.Path().c_str()};
    std::string log_ = dir_.Path() + "browser.log";
};

}  // namespace

// ---- Choosing the browser -----------------------------------------------------

TEST_F(BrowserTest, TakesTheSettingsBrowserAsStoredEvenAsAShortName) {
    const std::string settings = ShortPathOf(MakeFile("Web Browser\\my.web.exe"));
    ASSERT_FALSE(settings.empty());
    const std::string other = MakeFile("Other\\other.exe");
    ScopedHtmAssociation htm(kTestClass, ("\"" + other + "\" %1").c_str());
    SetIniBrowser(settings.c_str());

    TBrowser browser;
    EXPECT_EQ(browser.BrowserExe(), settings);
    EXPECT_EQ(browser.DdeServiceName(), ServiceOf(settings));
}

TEST_F(BrowserTest, FallsBackToTheRegistryWhenTheSettingsNameAMissingFile) {
    const std::string registered = MakeFile("Other\\other.exe");
    ScopedHtmAssociation htm(kTestClass, ("\"" + registered + "\" %1").c_str());
    SetIniBrowser((dir_.Path() + "gone.exe").c_str());
    {
        TBrowser browser;
        EXPECT_EQ(browser.BrowserExe(), LongPathOf(registered));
    }
    ::DeleteFileA((dir_.Path() + "Vorlane.ini").c_str());
    TBrowser browser;
    EXPECT_EQ(browser.BrowserExe(), LongPathOf(registered));
}

TEST_F(BrowserTest, ABrowserNamedWithoutAFullPathIsNoBrowser) {
    // The folder that a relative name is tried against holds a browse.exe: it
    // would pass the test of existence and be started from wherever a search finds it.
    MakeFile("browse.exe");
    char previous[MAX_PATH] = {};
    ASSERT_GT(::GetCurrentDirectoryA(MAX_PATH, previous), 0u);
    ASSERT_TRUE(::SetCurrentDirectoryA(dir_.Path().c_str()));
    struct Restore {
        const char* dir;
        ~Restore() { ::SetCurrentDirectoryA(dir); }
    } restore{previous};
    const std::string registered = MakeFile("Other\\other.exe");
    const struct Case { const char* ini; std::string htm; std::string found; } cases[] = {
        {"browse.exe", "\"" + registered + "\" %1", LongPathOf(registered)},
        {"BROWSE.EXE", "", ""}, {nullptr, "browse.exe %1", ""}, {nullptr, "\"browse.exe\" %1", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.ini ? c.ini : "<no setting>") + " | " + c.htm);
        SetIniBrowser(c.ini);
        ScopedHtmAssociation htm(kTestClass, c.htm.empty() ? nullptr : c.htm.c_str());
        TBrowser browser;
        EXPECT_EQ(browser.BrowserExe(), c.found);
        ::DeleteFileA((dir_.Path() + "Vorlane.ini").c_str());
    }
}

TEST_F(BrowserTest, TakesAQuotedRegistryCommandWithBlanksAndSwitchesInLongNames) {
    const std::string exe = MakeFile("Web Browser\\Browse Me.exe");
    const std::string shortExe = ShortPathOf(exe);
    ASSERT_NE(shortExe, exe);
    ScopedHtmAssociation htm(kTestClass, ("\"" + shortExe + "\" -nohome \"%1\"").c_str());
    TBrowser browser;
    EXPECT_EQ(browser.BrowserExe(), LongPathOf(exe));
    EXPECT_EQ(browser.DdeServiceName(), "BROWSE ME");
}

TEST_F(BrowserTest, CutsAnUnquotedRegistryCommandAtItsFirstBlank) {
    const std::string exe = MakeFile("Web Browser\\browse.exe");
    {
        ScopedHtmAssociation htm(kTestClass, (exe + " %1").c_str());
        TBrowser browser;
        EXPECT_EQ(browser.BrowserExe(), "");
    }
    ScopedHtmAssociation htm(kTestClass, (ShortPathOf(exe) + " %1").c_str());
    TBrowser browser;
    EXPECT_EQ(browser.BrowserExe(), LongPathOf(exe));
}

TEST_F(BrowserTest, FindsNoBrowserWithoutAClosingQuoteOrAnOpenCommand) {
    const std::string exe = MakeFile("Web Browser\\browse.exe");
    {
        ScopedHtmAssociation htm(kTestClass, ("\"" + exe + " %1").c_str());
        TBrowser browser;
        EXPECT_EQ(browser.BrowserExe(), "");
    }
    ScopedHtmAssociation htm(kTestClass, nullptr);
    TBrowser browser;
    EXPECT_EQ(browser.BrowserExe(), "");
    EXPECT_EQ(browser.DdeServiceName(), "");
}

TEST_F(BrowserTest, TakesAClassTooLongForTheRegistryBufferAsNoClass) {
    const std::string exe = MakeFile("browse.exe");
    const std::string command = "\"" + exe + "\" %1";
    // With "\shell\open" the class name must fit 256 characters and the NUL.
    {
        ScopedHtmAssociation htm(std::string(245, 'c'), command.c_str());
        TBrowser browser;
        EXPECT_EQ(browser.BrowserExe(), LongPathOf(exe));
    }
    ScopedHtmAssociation htm(std::string(246, 'c'), command.c_str());
    TBrowser browser;
    EXPECT_EQ(browser.BrowserExe(), "");
}

TEST_F(BrowserTest, TakesTheUsersChoiceNewestFirstAndTheHtmClassLast) {
    const std::string htmExe = MakeFile("Installer\\ie.exe");
    ScopedHtmAssociation htm(kTestClass, ("\"" + htmExe + "\" %1").c_str());
    std::vector<std::string> exes;
    std::vector<std::unique_ptr<ScopedOpenCommand>> classes;
    std::vector<std::unique_ptr<ScopedUserChoice>> choices;
    for (int n = 0; n < 4; ++n) {
        const std::string progId = "VrlnTestChoice" + std::to_string(n);
        exes.push_back(MakeFile("Browser " + std::to_string(n) + "\\b.exe"));
        classes.push_back(std::make_unique<ScopedOpenCommand>(
            progId, "\"" + ShortPathOf(exes.back()) + "\" -osint -url \"%1\""));
        choices.push_back(std::make_unique<ScopedUserChoice>(kChoiceKeys[n], progId));
        ASSERT_TRUE(classes.back()->Ok() && choices.back()->Ok());
    }
    for (int n = 0; n < 4; ++n) {
        EXPECT_EQ(TBrowser::FindRegistryBrowser(), LongPathOf(exes[n])) << n;
        choices[n].reset();
    }
    EXPECT_EQ(TBrowser::FindRegistryBrowser(), LongPathOf(htmExe));
}

TEST_F(BrowserTest, PassesOverAChosenClassWithoutACommandOrWithAMissingProgram) {
    const std::string exe = MakeFile("Chosen\\browser.exe");
    ScopedHtmAssociation htm(kTestClass, nullptr);
    ScopedOpenCommand missing("VrlnTestGone", "\"" + dir_.Path() + "gone.exe\" %1");
    ScopedOpenCommand usable("VrlnTestUsable", "\"" + exe + "\" \"%1\"");
    // A store app's class has no open command.
    ScopedUserChoice storeApp(kChoiceKeys[0], "VrlnTestAppX");
    ScopedUserChoice gone(kChoiceKeys[1], "VrlnTestGone");
    ScopedUserChoice tooLong(kChoiceKeys[2], std::string(246, 'c'));
    ScopedUserChoice chosen(kChoiceKeys[3], "VrlnTestUsable");
    ASSERT_TRUE(missing.Ok() && usable.Ok() && storeApp.Ok() && gone.Ok() && tooLong.Ok() && chosen.Ok());
    TBrowser browser;
    EXPECT_EQ(browser.BrowserExe(), exe);
}

// Run by webs_tests_cp932: the ANSI code page is 932, where the katakana
// "\x83\x5C" ends in a backslash byte.
TEST_F(BrowserTest, DoubleByteFolderNamesStayWholeFromWebsDatToTheBrowser) {
    ASSERT_EQ(::GetACP(), 932u) << "needs LANG=ja_JP.UTF-8";
    const std::string folder = dir_.Path() + "\x83\x5C\\";
    const std::string exe = folder + "browse.exe";
    ASSERT_TRUE(::CreateDirectoryA(folder.c_str(), nullptr));
    ASSERT_TRUE(::CopyFileA(StandinBrowserPath().c_str(), exe.c_str(), FALSE));
    ScopedHtmAssociation htm(kTestClass, ("\"" + exe + "\" %1").c_str());
    // A web file named like its folder: its own name ends in that byte too.
    const std::string webFile = folder + "\x83\x5C.vrl";
    WriteBytes(webFile, std::string("\x01x\x10\x00\x04Site", 9));
    WriteBytes(dir_.Path() + "webs.dat", webFile + "\r\n");
    StandinBrowser running("normal", log_, exe);
    ASSERT_TRUE(running.Started());

    TBrowser browser;
    EXPECT_EQ(browser.BrowserExe(), exe);
    EXPECT_EQ(browser.DdeServiceName(), "BROWSE");
    UniqueHmenu menu(::CreatePopupMenu());
    std::vector<std::string> webs;
    ASSERT_EQ(FillWebsMenu(menu.get(), webs), 1);
    WinExecRecorder winExec;
    OpenLocalWeb(webs, 0, browser);
    EXPECT_TRUE(WaitForLogLine(log_, "request " + Item(folder + "_home.htm"))) << ReadBytes(log_);
    EXPECT_TRUE(winExec.Calls().empty());
}

// ---- Opening a page -------------------------------------------------------------

TEST_F(BrowserTest, OpenPageAsksTheRunningBrowserAndStartsNothing) {
    ScopedHtmAssociation htm(kTestClass, nullptr);
    SetIniBrowser(StandinBrowserPath().c_str());
    StandinBrowser running("normal", log_);
    ASSERT_TRUE(running.Started());
    TBrowser browser;
    WinExecRecorder winExec;

    const std::string page = "C:\\My Webs\\A Site\\_home.htm";
    browser.OpenPage(page);
    EXPECT_TRUE(WaitForLogLine(log_, "request " + Item(page)));
    EXPECT_TRUE(winExec.Calls().empty());
}

TEST_F(BrowserTest, OpenPageStartsNothingByABareNameButTheChosenBrowserByItsFullPath) {
    // The chosen browser is a copy elsewhere; the stand-in beside this program is
    // a BROWSE.EXE planted where a start by the bare service name would find it.
    ScopedHtmAssociation htm(kTestClass, nullptr);
    const std::string exe = CopyStandin("Web Browser\\browse.exe");
    SetIniBrowser(exe.c_str());
    ScopedEnv logEnv("STANDIN_BROWSER_LOG", log_);
    TBrowser browser;
    WinExecRecorder winExec(true);

    const std::string page = "C:\\Webs\\Site\\_home.htm";
    browser.OpenPage(page);
    const std::string commandLine = "\"" + exe + "\" " + page;
    ASSERT_EQ(winExec.Calls().size(), 1u);
    EXPECT_EQ(winExec.Calls()[0].commandLine, commandLine);
    EXPECT_TRUE(WaitForLogLine(log_, "start " + commandLine));
    EXPECT_FALSE(LogHasLineStartingWith(log_, "start BROWSE"));
}

TEST_F(BrowserTest, ABrowserThatRefusesTheRequestGetsThePageOnItsCommandLine) {
    ScopedHtmAssociation htm(kTestClass, nullptr);
    SetIniBrowser(StandinBrowserPath().c_str());
    StandinBrowser sayingNo("no", log_);
    ASSERT_TRUE(sayingNo.Started());
    TBrowser browser;
    WinExecRecorder winExec(false, 33);

    const std::string page = "C:\\Webs\\Site\\_home.htm";
    browser.OpenPage(page);
    EXPECT_TRUE(WaitForLogLine(log_, "request " + Item(page)));
    ASSERT_EQ(winExec.Calls().size(), 1u);
    EXPECT_EQ(winExec.Calls()[0].commandLine, "\"" + StandinBrowserPath() + "\" " + page);
}

TEST_F(BrowserTest, OpenPageStartsTheBrowserWithThePageWhenNoServerAnswers) {
    ScopedHtmAssociation htm(kTestClass, nullptr);
    const std::string exe = CopyStandin("Web Browser\\viewer.exe");
    SetIniBrowser(exe.c_str());
    ScopedEnv logEnv("STANDIN_BROWSER_LOG", log_);
    TBrowser browser;
    WinExecRecorder winExec(true);

    const std::string page = "C:\\My Webs\\_home.htm";
    browser.OpenPage(page);
    const std::string commandLine = "\"" + exe + "\" \"" + page + "\"";
    ASSERT_EQ(winExec.Calls().size(), 1u);
    EXPECT_EQ(winExec.Calls()[0].commandLine, commandLine);
    EXPECT_EQ(winExec.Calls()[0].show, static_cast<UINT>(SW_SHOWNORMAL));
    EXPECT_TRUE(WaitForLogLine(log_, "start " + commandLine));
}

TEST_F(BrowserTest, WinesOwnBrowserWhichRefusesEveryRequestIsStartedWithThePage) {
    char folder[MAX_PATH] = {};
    ::ExpandEnvironmentStringsA("%ProgramFiles%\\Internet Explorer\\iexplore.exe", folder, sizeof folder);
    const std::string iexplore = folder;
    if (::GetFileAttributesA(iexplore.c_str()) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no " << iexplore;
    ScopedHtmAssociation htm(kTestClass, nullptr);
    SetIniBrowser(iexplore.c_str());
    Process running = Start("\"" + iexplore + "\" -nohome");
    TBrowser browser;
    // It serves "WWW_OpenURL" once it has started.
    ASSERT_TRUE(WaitFor(
        [] {
            TDdeClientConv probe;
            probe.SetConnectMode(TDataMode::ddeManual);
            probe.SetStartsServer(false);
            return probe.SetServiceTopic("IEXPLORE", "WWW_OpenURL") && probe.OpenConversation();
        },
        20000));
    WinExecRecorder winExec(false, 33);
    const std::string page = "C:\\Webs\\Site\\_home.htm";
    browser.OpenPage(page);
    ASSERT_EQ(winExec.Calls().size(), 1u);
    EXPECT_EQ(winExec.Calls()[0].commandLine, "\"" + iexplore + "\" " + page);
    Kill(running);
}

TEST_F(BrowserTest, OpenPageNeverHandsTheBrowserAQuoteOrASwitch) {
    ScopedHtmAssociation htm(kTestClass, nullptr);
    const std::string exe = CopyStandin("Web Browser\\viewer.exe");
    SetIniBrowser(exe.c_str());
    TBrowser browser;
    WinExecRecorder winExec;
    {
        // A quote would end the item's first argument early: not even a running browser gets it.
        StandinBrowser running("normal", log_, exe);
        ASSERT_TRUE(running.Started());
        browser.OpenPage("C:\\x\" -evil \"y\\_home.htm");
        EXPECT_TRUE(winExec.Calls().empty());
        browser.OpenPage("C:\\Webs\\_home.htm");
        ASSERT_TRUE(WaitForLogLine(log_, "request " + Item("C:\\Webs\\_home.htm")));
        EXPECT_FALSE(LogHasLineStartingWith(log_, "request \"C:\\x"));
    }
    // With no browser running, a page that looks like a switch is not put on its command line.
    browser.OpenPage("-remote\\_home.htm");
    EXPECT_TRUE(winExec.Calls().empty());
}

TEST_F(BrowserTest, OpenPageLeavesAPageTooLongForDdeToTheBrowsersCommandLine) {
    ScopedHtmAssociation htm(kTestClass, nullptr);
    SetIniBrowser(StandinBrowserPath().c_str());
    StandinBrowser running("normal", log_);
    TBrowser browser;
    WinExecRecorder winExec(false, 33);

    // 28 characters of item around the page; 255 is the most a DDE string holds.
    const std::string longest = "C:\\" + std::string(227 - 13, 'a') + "\\_home.htm";
    const std::string tooLong = "C:\\" + std::string(228 - 13, 'b') + "\\_home.htm";
    ASSERT_EQ(longest.size(), 227u);
    ASSERT_EQ(tooLong.size(), 228u);

    browser.OpenPage(tooLong);
    ASSERT_EQ(winExec.Calls().size(), 1u);
    EXPECT_EQ(winExec.Calls()[0].commandLine, "\"" + StandinBrowserPath() + "\" " + tooLong);
    EXPECT_EQ(winExec.Calls()[0].show, static_cast<UINT>(SW_SHOWNORMAL));

    browser.OpenPage(longest);
    EXPECT_TRUE(WaitForLogLine(log_, "request " + Item(longest)));
    EXPECT_EQ(winExec.Calls().size(), 1u);
    EXPECT_FALSE(LogHasLineStartingWith(log_, "request \"C:\\b"));
}

TEST_F(BrowserTest, OpenPageWithoutABrowserAsksAnyServerOfTheTopic) {
    ScopedHtmAssociation htm(kTestClass, nullptr);
    WinExecRecorder winExec;
    const std::string page = "C:\\Webs\\Site\\_home.htm";
    {
        StandinBrowser running("normal", log_);
        TBrowser browser;
        ASSERT_EQ(browser.BrowserExe(), "");
        browser.OpenPage(page);
        EXPECT_TRUE(WaitForLogLine(log_, "request " + Item(page)));
    }
    TBrowser browser;
    browser.OpenPage(page);
    EXPECT_TRUE(winExec.Calls().empty());
}

TEST_F(BrowserTest, FreesTheDdeManagerWithTheLauncher) {
    ScopedHtmAssociation htm(kTestClass, nullptr);
    {
        TBrowser browser;
        EXPECT_NE(GlobalDdeMgr, nullptr);
    }
    EXPECT_EQ(GlobalDdeMgr, nullptr);
}

// ---- One message at a time ------------------------------------------------------

namespace {
int g_dispatched = 0;
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) ++g_dispatched;
    return ::DefWindowProcA(window, message, wParam, lParam);
}
}  // namespace

TEST(ProcessOneMessage, DispatchesOneMessagePerCall) {
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = CountingProc;
    windowClass.hInstance = ::GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "VrlnTestCounting";
    ::RegisterClassA(&windowClass);
    const HWND window = ::CreateWindowExA(0, "VrlnTestCounting", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                          windowClass.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    while (ProcessOneMessage()) {
    }
    g_dispatched = 0;
    ::PostMessageA(window, WM_APP, 0, 0);
    ::PostMessageA(window, WM_APP, 0, 0);
    EXPECT_TRUE(ProcessOneMessage());
    EXPECT_EQ(g_dispatched, 1);
    EXPECT_TRUE(ProcessOneMessage());
    EXPECT_EQ(g_dispatched, 2);
    EXPECT_FALSE(ProcessOneMessage());
    ::DestroyWindow(window);
}

TEST(ProcessOneMessage, PutsAQuitBackForTheMainLoop) {
    while (ProcessOneMessage()) {
    }
    ::PostQuitMessage(7);
    EXPECT_TRUE(ProcessOneMessage());
    MSG message{};
    ASSERT_TRUE(::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(message.wParam, 7u);
}
