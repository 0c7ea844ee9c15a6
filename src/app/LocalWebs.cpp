#include "app/LocalWebs.h"

#include "app/Browser.h"
#include "app/Settings.h"
#include "core/Paths.h"
#include "core/Texts.h"
#include "core/WebsList.h"
#include "win/AnsiFiles.h"
#include "win/Handles.h"

#include <iterator>
#include <unordered_map>

namespace vrln {

namespace {

// More than the longest list that fits the command ids; what lies beyond is never shown.
constexpr DWORD kMaxWebsFileBytes = 32u << 20;

// The whole of webs.dat, held without sharing while it is read; empty when it
// can't be opened or read.
std::string ReadWebsFile(const std::string& path) {
    UniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file) return {};
    std::string text;
    char chunk[64 * 1024];
    while (text.size() < kMaxWebsFileBytes) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) return {};
        if (got == 0) break;
        text.append(chunk, got);
    }
    return text;
}

// The title of a web file; false when the file could not be found, opened or read.
bool ReadWebHead(const std::string& path, std::string& title) {
    title.clear();
    if (!FileExists(path)) return false;
    UniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    // The head is at most a few hundred bytes: one read, then parse it in memory.
    char head[core::kMaxWebHeadBytes];
    DWORD got = 0;
    const bool read = ::ReadFile(file.get(), head, sizeof head, &got, nullptr);
    if (!read) got = 0;
    core::MemorySource source(std::string_view(head, got));
    title = core::ReadWebTitleFrom(source);
    return read;
}

std::uint64_t Ticks(const FILETIME& t) { return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; }

// How long after its last write a file's time tells a later write apart: FAT
// keeps the time in steps of 2 s, and both clocks advance in ticks of ~16 ms.
constexpr std::uint64_t kTimeResolutionTicks = 3 * 10'000'000ull;

// The titles read at earlier openings, keyed by path and checked against the
// file's size and times. A title read while the file's last write was still
// within the time resolution is read again at the next opening, since a
// rewrite in that window may leave size and times as they were.
class TitleCache {
public:
    // Starts an opening at the current time.
    void Begin() {
        FILETIME now;
        ::GetSystemTimeAsFileTime(&now);
        openedAt_ = Ticks(now);
        ++opening_;
    }

    std::string Title(const std::string& path) {
        WIN32_FILE_ATTRIBUTE_DATA found{};
        if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &found) ||
            (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            return ReadWebTitle(path);
        }
        const auto known = titles_.find(path);
        if (known != titles_.end() && known->second.settled && Same(known->second.seen, found)) {
            known->second.opening = opening_;
            return known->second.title;
        }
        std::string title;
        if (!ReadWebHead(path, title)) return title;  // tried again at the next opening
        const std::uint64_t written = Ticks(found.ftLastWriteTime);
        const bool settled = written < openedAt_ && openedAt_ - written >= kTimeResolutionTicks;
        titles_.insert_or_assign(path, Entry{found, settled, opening_, title});
        return title;
    }

    // Drops the titles of webs that this opening's list no longer names.
    void End() {
        for (auto it = titles_.begin(); it != titles_.end();) {
            it = it->second.opening == opening_ ? std::next(it) : titles_.erase(it);
        }
    }

private:
    struct Entry {
        WIN32_FILE_ATTRIBUTE_DATA seen;
        bool settled;
        unsigned opening;
        std::string title;
    };

    static bool Same(const WIN32_FILE_ATTRIBUTE_DATA& a, const WIN32_FILE_ATTRIBUTE_DATA& b) {
        return a.nFileSizeLow == b.nFileSizeLow && a.nFileSizeHigh == b.nFileSizeHigh &&
               Ticks(a.ftLastWriteTime) == Ticks(b.ftLastWriteTime) &&
               Ticks(a.ftCreationTime) == Ticks(b.ftCreationTime);
    }

    std::unordered_map<std::string, Entry> titles_;
    std::uint64_t openedAt_ = 0;
    unsigned opening_ = 0;
};

// The tray menu is filled on the window's thread only.
TitleCache& Titles() {
    static TitleCache titles;
    return titles;
}

}  // namespace

std::string ReadWebTitle(const std::string& path) {
    std::string title;
    ReadWebHead(path, title);
    return title;
}

int FillWebsMenu(HMENU submenu, std::vector<std::string>& webs) {
    const std::string workPath = ReadWorkPath();
    webs.clear();
    while (::GetMenuItemCount(submenu) > 0) {
        if (!::DeleteMenu(submenu, 0, MF_BYPOSITION)) break;
    }
    TitleCache& titles = Titles();
    titles.Begin();
    if (!workPath.empty()) webs = core::SplitWebsLines(ReadWebsFile(workPath + "webs.dat"), kMaxWebs);
    for (std::size_t n = 0; n < webs.size(); ++n) {
        const std::string text = core::WebMenuItemText(n, titles.Title(webs[n]));
        ::AppendMenuA(submenu, MF_STRING, kFirstWebCommand + n, text.c_str());
    }
    titles.End();
    return static_cast<int>(webs.size());
}

void OpenLocalWeb(const std::vector<std::string>& webs, std::uint32_t index, TBrowser& browser) {
    if (index >= webs.size()) return;
    browser.OpenPage(core::HomePageOf(webs[index], ::IsDBCSLeadByte));
}

}  // namespace vrln
