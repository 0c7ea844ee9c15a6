#include "app/LocalWebs.h"

#include "app/Browser.h"
#include "app/Settings.h"
#include "core/Paths.h"
#include "core/Texts.h"
#include "core/WebsList.h"
#include "win/AnsiFiles.h"
#include "win/Handles.h"

#include <iterator>

namespace vrln {

namespace {

// More than the longest list that fits the command ids; what lies beyond is never shown.
constexpr DWORD kMaxWebsFileBytes = 32u << 20;

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

void EmptySubmenu(HMENU submenu) {
    while (::GetMenuItemCount(submenu) > 0) {
        if (!::DeleteMenu(submenu, 0, MF_BYPOSITION)) break;
    }
}

// The tray menu is filled on the window's thread only.
TWebTitles& WindowTitles() {
    static TWebTitles titles;
    return titles;
}

}  // namespace

std::string ReadWebTitle(const std::string& path) {
    std::string title;
    ReadWebHead(path, title);
    return title;
}

std::optional<std::string> ReadWebsFile(const std::string& path) {
    // Readers share it, for the read-ahead and the menu may read it at the same moment; a writer is kept out
    // while it is read, and one that holds it keeps this read out.
    UniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    std::string text;
    char chunk[64 * 1024];
    while (text.size() < kMaxWebsFileBytes) {
        DWORD got = 0;
        if (!::ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr)) return std::nullopt;
        if (got == 0) break;
        text.append(chunk, got);
    }
    return text;
}

TFileStamp StampOf(const std::string& path) {
    WIN32_FILE_ATTRIBUTE_DATA found{};
    if (!::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &found) ||
        (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return {};
    }
    return {true, (std::uint64_t{found.nFileSizeHigh} << 32) | found.nFileSizeLow, Ticks(found.ftLastWriteTime),
            Ticks(found.ftCreationTime)};
}

std::uint64_t FileTimeNow() {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return Ticks(now);
}

bool SettledAt(const TFileStamp& stamp, std::uint64_t readAt) {
    return stamp.LastWrite < readAt && readAt - stamp.LastWrite >= kTimeResolutionTicks;
}

void TWebTitles::Begin() {
    PassAt = FileTimeNow();
    ++Pass;
}

TWebTitles::TTitle TWebTitles::Title(const std::string& path) {
    const TFileStamp seen = StampOf(path);
    if (!seen.Found) return {ReadWebTitle(path), seen, true, false};
    const auto known = Titles_.find(path);
    if (known != Titles_.end() && known->second.Read.Settled && known->second.Read.Seen == seen) {
        known->second.Pass = Pass;
        return known->second.Read;
    }
    TTitle read{{}, seen, false, false};
    if (!ReadWebHead(path, read.Title)) {
        read.ReadFailed = FileExists(path);
        return read;  // tried again at the next pass
    }
    read.Settled = SettledAt(seen, PassAt);
    Titles_.insert_or_assign(path, TEntry{read, Pass});
    return read;
}

void TWebTitles::End() {
    for (auto it = Titles_.begin(); it != Titles_.end();) {
        it = it->second.Pass == Pass ? std::next(it) : Titles_.erase(it);
    }
}

int FillWebsMenu(HMENU submenu, std::vector<std::string>& webs) {
    const std::string workPath = ReadWorkPath();
    webs.clear();
    EmptySubmenu(submenu);
    TWebTitles& titles = WindowTitles();
    titles.Begin();
    if (!workPath.empty()) webs = core::SplitWebsLines(ReadWebsFile(workPath + "webs.dat").value_or(""), kMaxWebs);
    for (std::size_t n = 0; n < webs.size(); ++n) {
        const std::string text = core::WebMenuItemText(n, titles.Title(webs[n]).Title);
        ::AppendMenuA(submenu, MF_STRING, kFirstWebCommand + n, text.c_str());
    }
    titles.End();
    return static_cast<int>(webs.size());
}

TKnownWebsUse FillWebsMenuFrom(const TWebsList& known, HMENU submenu, std::vector<std::string>& webs) {
    if (ReadWorkPath() != known.WorkPath) return TKnownWebsUse::Outdated;
    if (!known.WorkPath.empty()) {
        // A rewrite within the time resolution shows only in a notification.
        const bool trusted = known.ListSettled || known.ListWatched;
        if (!trusted || StampOf(known.WorkPath + "webs.dat") != known.ListSeen) return TKnownWebsUse::Outdated;
    }
    webs.clear();
    webs.reserve(known.Items.size());
    EmptySubmenu(submenu);
    bool readNow = false;
    for (std::size_t n = 0; n < known.Items.size(); ++n) {
        const TWebsList::TItem& item = known.Items[n];
        webs.push_back(item.Line);
        if (!item.Watched && !(item.Settled && StampOf(item.Line) == item.Seen)) {
            readNow = true;
            const std::string text = core::WebMenuItemText(n, ReadWebTitle(item.Line));
            ::AppendMenuA(submenu, MF_STRING, kFirstWebCommand + n, text.c_str());
        } else {
            ::AppendMenuA(submenu, MF_STRING, kFirstWebCommand + n, item.Text.c_str());
        }
    }
    return readNow ? TKnownWebsUse::ShownWithTitlesReadNow : TKnownWebsUse::Shown;
}

void OpenLocalWeb(const std::vector<std::string>& webs, std::uint32_t index, TBrowser& browser) {
    if (index >= webs.size()) return;
    browser.OpenPage(core::HomePageOf(webs[index], ::IsDBCSLeadByte));
}

}  // namespace vrln
