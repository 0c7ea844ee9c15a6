// The settings lookup and the local web list: win.ini and Vorlane.ini values,
// web-file heads on disk, and the "&Local webs" submenu built from webs.dat.
#include "app/Browser.h"
#include "app/LocalWebs.h"
#include "app/Settings.h"
#include "win/Handles.h"

#include "TestSupport.h"
#include "WebsTestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace vrln;
using namespace vrln::test;

namespace {

std::string Str(const std::string& s) { return std::string(1, static_cast<char>(s.size())) + s; }
std::string Word(unsigned value) {
    return {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
}

struct MenuItem {
    std::string text;
    UINT id;
    UINT state;
};

std::vector<MenuItem> ItemsOf(HMENU menu) {
    std::vector<MenuItem> items;
    const int count = ::GetMenuItemCount(menu);
    for (int n = 0; n < count; ++n) {
        char text[512] = {};
        const int length = ::GetMenuStringA(menu, n, text, sizeof text, MF_BYPOSITION);
        items.push_back({std::string(text, length), ::GetMenuItemID(menu, n), ::GetMenuState(menu, n, MF_BYPOSITION)});
    }
    return items;
}

// A submenu as the resource gives it: one placeholder item.
UniqueHmenu NewSubmenu() {
    UniqueHmenu menu(::CreatePopupMenu());
    ::AppendMenuA(menu.get(), MF_STRING, 999, "&Item");
    return menu;
}

class WebsTest : public ::testing::Test {
protected:
    void TearDown() override { StopAllStandinBrowsers(); }

    std::string WebFile(const std::string& relative, const std::string& head) {
        const std::string path = dir_.Make(relative);
        WriteBytes(path, head);
        return path;
    }
    void WriteWebsDat(const std::string& text) { WriteBytes(dir_.Path() + "webs.dat", text); }

    TempDir dir_;
    ScopedProfileString workPath_{"VORLANE", "WORKPATH", dir_.Path().c_str()};
};

}  // namespace

// ---- Settings -------------------------------------------------------------------

TEST(ReadWorkPath, ReturnsTheStoredPathCutTo254Characters) {
    {
        ScopedProfileString none("VORLANE", "WORKPATH", nullptr);
        EXPECT_EQ(ReadWorkPath(), "");
        EXPECT_EQ(ReadIniBrowser(), "");
    }
    {
        ScopedProfileString stored("VORLANE", "WORKPATH", "C:\\Sites");
        EXPECT_EQ(ReadWorkPath(), "C:\\Sites");  // no separator is added
    }
    const std::string longPath = "C:\\" + std::string(297, 'p');
    ScopedProfileString stored("VORLANE", "WORKPATH", longPath.c_str());
    EXPECT_EQ(ReadWorkPath(), longPath.substr(0, 254));
}

TEST_F(WebsTest, ReadIniBrowserReadsExeNameFromTheIniInTheWorkPath) {
    EXPECT_EQ(ReadIniBrowser(), "");  // no ini file
    WriteBytes(dir_.Path() + "Vorlane.ini", "[Other]\r\nExeName=C:\\wrong.exe\r\n[Browser]\r\nCache=1\r\n");
    EXPECT_EQ(ReadIniBrowser(), "");
    WriteBytes(dir_.Path() + "Vorlane.ini", "[Browser]\r\nExeName=C:\\Program Files\\Web\\b.exe\r\n");
    EXPECT_EQ(ReadIniBrowser(), "C:\\Program Files\\Web\\b.exe");

    // Without its trailing backslash the work path names "...<dir>Vorlane.ini".
    std::string bare = dir_.Path();
    bare.pop_back();
    ScopedProfileString noSeparator("VORLANE", "WORKPATH", bare.c_str());
    EXPECT_EQ(ReadIniBrowser(), "");
}

// ---- Web titles -------------------------------------------------------------------

TEST_F(WebsTest, ReadWebTitleKeepsWhatAFileCutInsideItsHeadHolds) {
    EXPECT_EQ(ReadWebTitle(WebFile("title.vrl", Str("A") + Word(1) + "\x09My S")), "My S");
    EXPECT_EQ(ReadWebTitle(WebFile("version.vrl", Str("A") + "\x01")), "");
    EXPECT_EQ(ReadWebTitle(WebFile("empty.vrl", "")), "");
}

TEST_F(WebsTest, ReadWebTitleIsEmptyForWhatCannotBeRead) {
    EXPECT_EQ(ReadWebTitle(dir_.Path() + "missing.vrl"), "");
    dir_.Make("folder\\");
    EXPECT_EQ(ReadWebTitle(dir_.Path() + "folder"), "");
    const std::string locked = WebFile("locked.vrl", Str("A") + Word(1) + Str("Locked"));
    UniqueFile exclusive(::CreateFileA(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(exclusive.valid());
    EXPECT_EQ(ReadWebTitle(locked), "");
    exclusive.reset();
    EXPECT_EQ(ReadWebTitle(locked), "Locked");
}

TEST_F(WebsTest, ReadWebTitleSharesTheFileWithAWriter) {
    const std::string path = WebFile("open.vrl", Str("A") + Word(1) + Str("Shared"));
    UniqueFile writer(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer.valid());
    EXPECT_EQ(ReadWebTitle(path), "Shared");
}

// ---- The submenu --------------------------------------------------------------------

TEST_F(WebsTest, FillWebsMenuTitlesEachItemFromItsWebFile) {
    const std::string title30(30, 't');
    const std::string title31 = std::string(30, 'u') + "v";
    std::vector<std::string> lines = {
        WebFile("One\\site.vrl", Str("A") + Word(511) + Str("My Site")),
        WebFile("Two\\site.vrl", Str("A") + Word(512) + Str("B") + Str("Second")),
        WebFile("Three\\site.vrl", Str("A") + Word(0xFFFF) + Str("Negative")),
        dir_.Path() + "Four\\gone.vrl",
        "",
        WebFile("Six\\site.vrl", Str("") + Word(3) + Str(title30)),
        WebFile("Seven\\site.vrl", Str("") + Word(3) + Str(title31)),
        WebFile("Eight\\site.vrl", Str("") + Word(3) + Str("Fish & Chips")),
    };
    for (int n = 9; n <= 12; ++n) {
        lines.push_back(WebFile("W" + std::to_string(n) + "\\w.vrl", Str("") + Word(0) + Str("W" + std::to_string(n))));
    }
    // Every kind of line end, and a last line without one.
    const char* ends[] = {"\r\n", "\n", "\r"};
    std::string websDat;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        websDat += lines[n];
        if (n + 1 < lines.size()) websDat += ends[n % 3];
    }
    WriteWebsDat(websDat);

    UniqueHmenu menu = NewSubmenu();
    std::vector<std::string> webs;
    ASSERT_EQ(FillWebsMenu(menu.get(), webs), 12);
    EXPECT_EQ(webs, lines);
    const std::vector<std::string> expected = {
        "&1 My Site", "&2 Second", "&3 Negative", "&4 ", "&5 ", "&6 " + title30, "&7 " + std::string(30, 'u') + "...",
        "&8 Fish & Chips", "&9 W9", "&10 W10", "&11 W11", "&12 W12"};
    const auto items = ItemsOf(menu.get());
    ASSERT_EQ(items.size(), expected.size());
    for (std::size_t n = 0; n < items.size(); ++n) {
        EXPECT_EQ(items[n].text, expected[n]);
        EXPECT_EQ(items[n].id, 200 + n);
        EXPECT_EQ(items[n].state, static_cast<UINT>(MF_STRING | MF_ENABLED | MF_UNCHECKED));
    }

    // The next opening reads afresh.
    WriteWebsDat(lines[0]);
    EXPECT_EQ(FillWebsMenu(menu.get(), webs), 1);
    EXPECT_EQ(ItemsOf(menu.get()).size(), 1u);
}

TEST_F(WebsTest, FillWebsMenuShowsTheNewTitleOfAWebRenamedSinceTheLastOpening) {
    const std::string web = dir_.Make("One\\site.vrl");
    auto write = [&](const std::string& title) { return WriteWholeFile(web, Str("A") + Word(1) + Str(title)); };
    auto shown = [&] {
        UniqueHmenu menu = NewSubmenu();
        std::vector<std::string> webs;
        FillWebsMenu(menu.get(), webs);
        return ItemsOf(menu.get()).at(0).text;
    };
    auto setLastWrite = [&](const FILETIME& time) {
        UniqueFile file(::CreateFileA(web.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        return file.valid() && ::SetFileTime(file.get(), nullptr, nullptr, &time);
    };
    WriteWebsDat(web);
    // Stored long ago, so that the title read now is kept for later openings.
    ASSERT_TRUE(write("Old name"));
    const SYSTEMTIME stored{2020, 1, 3, 1, 12, 0, 0, 0};
    FILETIME longAgo;
    ASSERT_TRUE(::SystemTimeToFileTime(&stored, &longAgo) && setLastWrite(longAgo));
    EXPECT_EQ(shown(), "&1 Old name");
    EXPECT_EQ(shown(), "&1 Old name");

    // Renamed in place, keeping the size.
    ASSERT_TRUE(write("New name"));
    EXPECT_EQ(shown(), "&1 New name");
    // Renamed again within the file system's time resolution: size and times stay as they were.
    WIN32_FILE_ATTRIBUTE_DATA before;
    ASSERT_TRUE(::GetFileAttributesExA(web.c_str(), GetFileExInfoStandard, &before));
    ASSERT_TRUE(write("Now this") && setLastWrite(before.ftLastWriteTime));
    EXPECT_EQ(shown(), "&1 Now this");
    ASSERT_TRUE(::DeleteFileA(web.c_str()));
    EXPECT_EQ(shown(), "&1 ");
}

TEST_F(WebsTest, FillWebsMenuStaysEmptyWithoutAReadableList) {
    const std::string web = WebFile("One\\site.vrl", Str("A") + Word(1) + Str("Site"));
    auto expectEmpty = [](const char* situation) {
        UniqueHmenu menu = NewSubmenu();
        std::vector<std::string> webs = {"left over"};
        EXPECT_EQ(FillWebsMenu(menu.get(), webs), 0) << situation;
        EXPECT_TRUE(webs.empty()) << situation;
        EXPECT_EQ(::GetMenuItemCount(menu.get()), 0) << situation;
    };
    expectEmpty("webs.dat missing");
    WriteWebsDat("");
    expectEmpty("webs.dat empty");
    WriteWebsDat(web + "\r\n");
    {
        // The main application may hold it while it writes; then the list is not read at all.
        UniqueFile writer(::CreateFileA((dir_.Path() + "webs.dat").c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(writer.valid());
        expectEmpty("webs.dat open for writing elsewhere");
    }
    {
        std::string bare = dir_.Path();
        bare.pop_back();
        ScopedProfileString noSeparator("VORLANE", "WORKPATH", bare.c_str());
        expectEmpty("work path without its backslash");
    }
    {
        ScopedProfileString none("VORLANE", "WORKPATH", nullptr);
        expectEmpty("no work path");
    }
    // Another reader, as the read-ahead is while it reads, keeps nothing out.
    UniqueFile reader(::CreateFileA((dir_.Path() + "webs.dat").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader.valid());
    UniqueHmenu menu = NewSubmenu();
    std::vector<std::string> webs;
    EXPECT_EQ(FillWebsMenu(menu.get(), webs), 1);
}

TEST_F(WebsTest, FillWebsMenuListsTenThousandWebs) {
    const std::string web = WebFile("One\\site.vrl", Str("A") + Word(1) + Str("Site"));
    std::string websDat;
    for (int n = 0; n < 10000; ++n) websDat += (n % 2 ? web : dir_.Path() + "gone" + std::to_string(n)) + "\r\n";
    WriteWebsDat(websDat);
    UniqueHmenu menu = NewSubmenu();
    std::vector<std::string> webs;
    ASSERT_EQ(FillWebsMenu(menu.get(), webs), 10000);
    ASSERT_EQ(::GetMenuItemCount(menu.get()), 10000);
    char text[64] = {};
    ::GetMenuStringA(menu.get(), 9999, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "&10000 Site");
    EXPECT_EQ(::GetMenuItemID(menu.get(), 9999), 10199u);
}

TEST_F(WebsTest, FillWebsMenuStopsWhereCommandIdsWouldWrapToTheTrayCommands) {
    // Past id 65535 WM_COMMAND would carry 200 + n as a 16-bit id: line 65436 as IDM_LOAD (100).
    WriteWebsDat(std::string(65500, '\n'));
    std::vector<std::string> webs;
    // A menu handle that takes no items: Wine's menus grow in quadratic time, and the
    // ids of appended items are checked with ten thousand webs above.
    EXPECT_EQ(FillWebsMenu(nullptr, webs), 65336);
    EXPECT_EQ(webs.size(), 65336u);
}

TEST_F(WebsTest, FillWebsMenuTakesBinaryGarbageAsLines) {
    std::string garbage;
    std::uint32_t seed = 12345;
    for (int n = 0; n < 200000; ++n) {
        seed = seed * 1103515245u + 12345u;
        garbage += static_cast<char>(1 + (seed >> 16) % 255);  // no NUL: all of it counts
    }
    garbage += std::string(1, '\0') + "C:\\after\\the\\nul.vrl\r\n";
    WriteWebsDat(garbage);
    UniqueHmenu menu = NewSubmenu();
    std::vector<std::string> webs;
    const int count = FillWebsMenu(menu.get(), webs);
    ASSERT_GT(count, 0);
    EXPECT_EQ(static_cast<std::size_t>(count), webs.size());
    ASSERT_EQ(::GetMenuItemCount(menu.get()), count);
    EXPECT_EQ(::GetMenuItemID(menu.get(), count - 1), static_cast<UINT>(200 + count - 1));
    for (const auto& line : webs) {
        EXPECT_EQ(line.find('\0'), std::string::npos);
        EXPECT_NE(line, "C:\\after\\the\\nul.vrl");
    }
}

// ---- Opening a web ----------------------------------------------------------------------

TEST_F(WebsTest, OpenLocalWebOpensTheHomePageOfTheChosenLineOnly) {
    WriteBytes(dir_.Path() + "Vorlane.ini", "[Browser]\r\nExeName=" + StandinBrowserPath() + "\r\n");
    const std::string log = dir_.Path() + "browser.log";
    StandinBrowser running("normal", log);
    ASSERT_TRUE(running.Started());
    TBrowser browser;
    WinExecRecorder winExec;
    const std::vector<std::string> webs = {"C:\\Sites\\Example\\gone.vrl", "", "bare.vrl"};

    OpenLocalWeb(webs, 3, browser);
    OpenLocalWeb(webs, UINT32_MAX, browser);
    OpenLocalWeb(webs, 0, browser);
    ASSERT_TRUE(WaitForLogLine(log, "request \"C:\\Sites\\Example\\_home.htm\",,0xffffffff,0x00000000,,,"));
    OpenLocalWeb(webs, 1, browser);
    ASSERT_TRUE(WaitForLogLine(log, "request \"_home.htm\",,0xffffffff,0x00000000,,,"));

    int requests = 0;
    for (const auto& line : LogLines(log)) requests += line.compare(0, 8, "request ") == 0;
    EXPECT_EQ(requests, 2);
    EXPECT_TRUE(winExec.Calls().empty());
}
