#include "app/LocalWebs.h"

#include "app/Browser.h"
#include "app/Settings.h"
#include "core/Paths.h"
#include "core/Texts.h"
#include "core/WebsList.h"
#include "win/AnsiFiles.h"
#include "win/Handles.h"

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

}  // namespace

std::string ReadWebTitle(const std::string& path) {
    if (!FileExists(path)) return {};
    UniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    // The head is at most a few hundred bytes: one read, then parse it in memory.
    char head[core::kMaxWebHeadBytes];
    DWORD got = 0;
    if (!::ReadFile(file.get(), head, sizeof head, &got, nullptr)) got = 0;
    core::MemorySource source(std::string_view(head, got));
    return core::ReadWebTitleFrom(source);
}

int FillWebsMenu(HMENU submenu, std::vector<std::string>& webs) {
    const std::string workPath = ReadWorkPath();
    webs.clear();
    while (::GetMenuItemCount(submenu) > 0) {
        if (!::DeleteMenu(submenu, 0, MF_BYPOSITION)) break;
    }
    if (workPath.empty()) return 0;

    webs = core::SplitWebsLines(ReadWebsFile(workPath + "webs.dat"), kMaxWebs);
    for (std::size_t n = 0; n < webs.size(); ++n) {
        const std::string text = core::WebMenuItemText(n, ReadWebTitle(webs[n]));
        ::AppendMenuA(submenu, MF_STRING, kFirstWebCommand + n, text.c_str());
    }
    return static_cast<int>(webs.size());
}

void OpenLocalWeb(const std::vector<std::string>& webs, std::uint32_t index, TBrowser& browser) {
    if (index >= webs.size()) return;
    browser.OpenPage(core::HomePageOf(webs[index], ::IsDBCSLeadByte));
}

}  // namespace vrln
