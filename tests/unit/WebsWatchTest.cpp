#include "core/WebsWatch.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace vrln::core {
void PrintTo(const WatchedFolder& folder, std::ostream* out) { *out << folder.Path << (folder.Subtree ? " +sub" : ""); }
}  // namespace vrln::core

using namespace vrln::core;

namespace {
constexpr int no = kNotWatched;
bool IsShiftJisLead(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }
}  // namespace

TEST(PlanWatches, GroupsEachWebsFolderUnderTheFolderAboveItAndTakesTheLargestGroupsUpToTheBound) {
    const struct Case {
        const char* what;
        std::string workPath;
        std::vector<std::string> lines;
        std::size_t maxFolders;
        std::vector<WatchedFolder> folders;
        int listWatcher;
        std::vector<int> webWatchers;
    } cases[] = {
        {"webs in the work path's folder and its subfolders; deeper ones in a group of their own",
         "C:\\Work\\",
         {"C:\\Work\\a.vrl", "C:\\Work\\A\\a.vrl", "c:\\WORK\\B\\b.vrl", "C:\\Work\\Deep\\C\\c.vrl"},
         8,
         {{"C:\\Work\\", true}, {"C:\\Work\\Deep\\", true}},
         0,
         {0, 0, 0, 1}},
        {"the largest groups first, then the earlier; the rest unwatched",
         "C:\\Work\\",
         {"D:\\One\\A\\a.vrl", "D:\\Two\\A\\a.vrl", "D:\\Two\\B\\b.vrl", "D:\\Three\\A\\a.vrl"},
         3,
         {{"C:\\Work\\", true}, {"D:\\Two\\", true}, {"D:\\One\\", true}},
         0,
         {2, 1, 1, no}},
        {"a root's subfolders stand alone, and a root is watched without its subfolders",
         "C:\\Sites",  // no trailing backslash: webs.dat lies in C:\ as "Siteswebs.dat"
         {"C:\\Site\\s.vrl", "\\\\srv\\share\\Web\\w.vrl", "\\\\srv\\share\\Webs\\X\\x.vrl", "C:\\top.vrl"},
         8,
         {{"C:\\", false},
          {"C:\\Site\\", false},
          {"\\\\srv\\share\\Web\\", false},
          {"\\\\srv\\share\\Webs\\", true}},
         0,
         {1, 2, 3, 0}},
        {"relative and empty lines and a relative work path are not watched",
         "Work\\",
         {"", "bare.vrl", "Sub\\x.vrl", "C:x.vrl"},
         8,
         {},
         no,
         {no, no, no, no}},
        {"no work path, no folder at all for the bound", "", {"C:\\A\\B\\b.vrl"}, 0, {}, no, {no}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const WatchPlan plan = PlanWatches(c.workPath, c.lines, c.maxFolders);
        EXPECT_EQ(plan.Folders, c.folders);
        EXPECT_EQ(plan.ListWatcher, c.listWatcher);
        EXPECT_EQ(plan.WebWatchers, c.webWatchers);
    }
}

TEST(PlanWatches, WatchesNothingWhereWritesAreRedirected) {
    const WatchPlan plan = PlanWatches("C:\\Program Files\\Vorlane\\",
                                       {"C:\\PROGRAM FILES\\Vorlane\\Web\\w.vrl", "C:\\Webs\\A\\a.vrl",
                                        "C:\\Program Files (x86)\\W\\w.vrl"},
                                       8, {"C:\\Program Files", "C:\\Windows\\"});
    EXPECT_EQ(plan.Folders, (std::vector<WatchedFolder>{{"C:\\Webs\\", true}, {"C:\\Program Files (x86)\\", true}}));
    EXPECT_EQ(plan.ListWatcher, no);
    EXPECT_EQ(plan.WebWatchers, (std::vector<int>{no, 0, 1}));
}

TEST(PlanWatches, KeepsDoubleByteCharactersWholeWhenItSplitsAndComparesFolders) {
    // "\x83\x5C" ends in a backslash byte; "\x83\x61" and "\x83\x41" differ only in a second byte's case.
    const WatchPlan plan = PlanWatches(
        "C:\\W\\", {"C:\\W\\\x83\x5C\\a.vrl", "C:\\X\\\x83\x61\\a.vrl", "C:\\X\\\x83\x41\\Y\\b.vrl"}, 8, {},
        IsShiftJisLead);
    EXPECT_EQ(plan.Folders, (std::vector<WatchedFolder>{{"C:\\W\\", true}, {"C:\\X\\", true},
                                                         {"C:\\X\\\x83\x41\\", true}}));
    EXPECT_EQ(plan.WebWatchers, (std::vector<int>{0, 1, 2}));
}
