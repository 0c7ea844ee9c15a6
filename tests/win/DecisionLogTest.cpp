// The decision log's files: lines as Notepad shows them, two files at most,
// and a log that cannot be written changes nothing.
#include "sched/DecisionLog.h"

#include "core/LogLines.h"
#include "TestSupport.h"
#include "WebsTestSupport.h"

#include <gtest/gtest.h>

#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

using namespace vrln;
using namespace vrln::test;

namespace {

const std::string kBom = "\xEF\xBB\xBF";

// Every file and folder below the folder, with the size of each file.
std::map<std::string, std::string> Listing(const std::string& folder, const std::string& prefix = "") {
    std::map<std::string, std::string> found;
    WIN32_FIND_DATAA item{};
    UniqueFind search(::FindFirstFileA((folder + prefix + "*").c_str(), &item));
    for (bool more = search.valid(); more; more = ::FindNextFileA(search.get(), &item)) {
        const std::string name = prefix + item.cFileName;
        if (std::string(item.cFileName) == "." || std::string(item.cFileName) == "..") continue;
        if (item.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            found[name + "\\"] = "folder";
            for (const auto& inner : Listing(folder, name + "\\")) found.insert(inner);
        } else {
            found[name] = std::to_string(item.nFileSizeLow) + " bytes";
        }
    }
    return found;
}

// The file's lines without their CR LF, after its encoding's mark.
std::vector<std::string> LinesOf(const std::string& bytes) {
    std::vector<std::string> lines;
    for (std::size_t at = kBom.size(), end; (end = bytes.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(bytes.substr(at, end - at));
    return lines;
}

// The stamp of now, from other calls than the log's: the local clock and the zone's bias.
std::string StampNow() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    TIME_ZONE_INFORMATION zone{};
    const DWORD season = ::GetTimeZoneInformation(&zone);
    const LONG bias = zone.Bias + (season == TIME_ZONE_ID_DAYLIGHT   ? zone.DaylightBias
                                   : season == TIME_ZONE_ID_STANDARD ? zone.StandardBias
                                                                     : 0);
    core::DateTimeParts parts;
    parts.year = now.wYear, parts.month = now.wMonth, parts.day = now.wDay;
    parts.hour = now.wHour, parts.minute = now.wMinute, parts.second = now.wSecond;
    return core::LogTimeStamp(parts, bias);
}

}  // namespace

TEST(DecisionLog, WritesEachEventAsOneUtf8LineInAFolderItMakes) {
    ASSERT_EQ(::GetACP(), 1252u) << "the Latin-1 row's bytes are those of code page 1252";
    TempDir temp;
    const std::string folder = temp.Path() + "Vorlane", longPath = "C:\\" + std::string(32000, 'd') + "\\VRLN98.EXE";
    const struct Case { std::string event, shown; bool handedOver; } cases[] = {
        {core::MainAppStartedLine("C:\\V\\VRLN98.EXE\r\n2026-01-01 00:00:00 +00:00  Wake timer fired", 1),
         "Main application started, shown normally (SW_SHOWNORMAL): C:\\V\\VRLN98.EXE<CR><LF>2026-01-01 00:00:00 "
         "+00:00  Wake timer fired", false},
        {core::MainAppNotStartedLine(longPath, 3, false),
         "Main application not started, WinExec 3: The folder was not found: " + longPath.substr(0, 1024) +
             "<cut, 32014 bytes in all>", false},
        // The window's lines are made on its own thread and handed to the log's owner.
        {"Notice shown: C:\\Daten\\\xE4\tx", "Notice shown: C:\\Daten\\\xC3\xA4<TAB>x", true}};
    TDecisionLog log(folder);
    const std::string before = StampNow();
    UniqueFile viewer;  // a viewer that keeps the file open, sharing it, must not stop the log
    for (const Case& c : cases) {
        if (c.handedOver) {
            std::optional<TLogLine> line;
            std::thread([&] { line = StampedLogLine(c.event); }).join();
            EXPECT_TRUE(log.WriteLine(*line));
        } else {
            EXPECT_TRUE(log.Write(c.event));
        }
        if (!viewer)
            viewer.reset(::CreateFileA((folder + "\\VrlnSchd.log").c_str(), GENERIC_READ,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    const std::string after = StampNow();

    const std::string bytes = ReadBytes(folder + "\\VrlnSchd.log");
    EXPECT_EQ(bytes.substr(0, 3), kBom);
    const std::vector<std::string> lines = LinesOf(bytes);
    ASSERT_EQ(lines.size(), std::size(cases));
    for (std::size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i].substr(26), "  " + cases[i].shown);
        // Local time to the second as it was while the line was written, with the zone's offset.
        EXPECT_GE(lines[i].substr(0, 19), before.substr(0, 19));
        EXPECT_LE(lines[i].substr(0, 19), after.substr(0, 19));
        EXPECT_EQ(lines[i].substr(19, 7), after.substr(19));
    }
    EXPECT_EQ(Listing(temp.Path()).size(), 2u) << "the folder and its one file";
}

TEST(DecisionLog, KeepsTwoFilesAtMostAndReplacesTheOlder) {
    TempDir temp;
    TDecisionLog log(temp.Path());
    // Lines of about 1 KiB: a file holds some 250 of them, so these fill it twice.
    const std::string filler(1000, 'f');
    for (int i = 0; i < 600; ++i) ASSERT_TRUE(log.Write("line " + std::to_string(i) + " " + filler)) << i;

    const std::map<std::string, std::string> files = Listing(temp.Path());
    ASSERT_EQ(files.size(), 2u);
    std::vector<int> numbers;
    for (const char* name : {"VrlnSchd.old.log", "VrlnSchd.log"}) {
        const std::string bytes = ReadBytes(temp.Path() + name);
        EXPECT_EQ(bytes.substr(0, 3), kBom) << name;
        EXPECT_LE(bytes.size(), core::kMaxLogFileBytes) << name;
        for (const std::string& line : LinesOf(bytes)) numbers.push_back(std::stoi(line.substr(33)));
    }
    // The older file was full when it turned over, and it replaced the first.
    EXPECT_GT(ReadBytes(temp.Path() + "VrlnSchd.old.log").size() + 1100, core::kMaxLogFileBytes);
    ASSERT_FALSE(numbers.empty());
    EXPECT_GT(numbers.front(), 0);
    for (std::size_t i = 0; i < numbers.size(); ++i) EXPECT_EQ(numbers[i], 600 - int(numbers.size() - i)) << i;
}

TEST(DecisionLog, DropsALineItCannotWriteAndLeavesNothingBehind) {
    // Wine ignores a deny ACE on a folder (tried here): a file where the folder
    // should be, and a folder where the file should be, stand in for one.
    TempDir temp;
    WriteBytes(temp.Path() + "file", "x");
    temp.Make("folder\\VrlnSchd.log\\");
    WriteBytes(temp.Make("locked\\VrlnSchd.log"), kBom + "a line\r\n");
    UniqueFile editor(::CreateFileA((temp.Path() + "locked\\VrlnSchd.log").c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(editor.valid());
    // A full file whose older name is taken cannot turn over: it is not written beyond its bound.
    WriteBytes(temp.Make("full\\VrlnSchd.log"), kBom + std::string(core::kMaxLogFileBytes - 3, 'x'));
    temp.Make("full\\VrlnSchd.old.log\\");
    const struct Case { const char* what; std::string folder; } cases[] = {
        {"no folder known", ""},
        {"a file where the folder should be", temp.Path() + "file"},
        {"no parent folder", temp.Path() + "missing\\Vorlane\\"},
        {"a folder where the file should be", temp.Path() + "folder\\"},
        {"the file locked by an editor", temp.Path() + "locked"},
        {"a full file that cannot be moved aside", temp.Path() + "full\\"}};
    const std::map<std::string, std::string> before = Listing(temp.Path());
    for (const Case& c : cases) EXPECT_FALSE(TDecisionLog(c.folder).Write("Wake timer fired")) << c.what;
    EXPECT_EQ(Listing(temp.Path()), before);
    editor.reset();
    EXPECT_EQ(ReadBytes(temp.Path() + "locked\\VrlnSchd.log"), kBom + "a line\r\n");
}

TEST(DecisionLog, TakesWinesUserForAnAdministrator) {
    // Wine gives every program an administrator's token.
    EXPECT_FALSE(RunsAsStandardUser());
}

