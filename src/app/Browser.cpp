#include "app/Browser.h"

#include "app/Settings.h"
#include "core/Browser.h"
#include "dde/DdemanEx.h"
#include "win/AnsiFiles.h"
#include "win/Handles.h"
#include "win/Platform.h"

#include <windows.h>

#include <algorithm>
#include <cstring>

namespace vrln {

namespace {

constexpr const char* kOpenUrlTopic = "WWW_OpenURL";
// One buffer for every registry read while looking for the browser.
constexpr LONG kRegistryBufferSize = 257;

// Restores the cursor that OpenPage replaced, also when an exception leaves it.
class CursorRestorer {
public:
    explicit CursorRestorer(HCURSOR previous) noexcept : previous_(previous) {}
    CursorRestorer(const CursorRestorer&) = delete;
    CursorRestorer& operator=(const CursorRestorer&) = delete;
    ~CursorRestorer() { ::SetCursor(previous_); }

private:
    HCURSOR previous_;
};

template <std::size_t N>
std::string TextOf(const char (&buffer)[N]) {
    return std::string(buffer, std::find(buffer, buffer + N, '\0'));
}

// The browsers the user chose in Windows' settings, newest way of storing first:
// for ".htm" files, then for http links. Each key holds the value "ProgId".
constexpr const char* kUserChoiceKeys[] = {
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.htm\\UserChoiceLatest\\ProgId",
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\FileExts\\.htm\\UserChoice",
    "Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\http\\UserChoiceLatest\\ProgId",
    "Software\\Microsoft\\Windows\\Shell\\Associations\\UrlAssociations\\http\\UserChoice",
};

// The class that the user chose, or empty.
std::string UserChoiceProgId(const char* choiceKey) {
    UniqueHkey key;
    if (::RegOpenKeyExA(HKEY_CURRENT_USER, choiceKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) return {};
    char buffer[kRegistryBufferSize] = {};
    DWORD size = sizeof buffer - 1;
    DWORD type = 0;
    if (::RegQueryValueExA(key.get(), "ProgId", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ) {
        return {};
    }
    return TextOf(buffer);
}

// The existing executable, with long names, that the class's open command
// runs; empty when the class has no such command (store apps) or the file is missing.
std::string BrowserOfClass(const std::string& className) {
    if (className.empty()) return {};
    const std::string openKey = className + "\\shell\\open";
    // A class whose key name would not fit the buffer counts as no class.
    if (openKey.size() >= static_cast<std::size_t>(kRegistryBufferSize)) return {};

    HKEY opened = nullptr;
    if (::RegOpenKeyA(HKEY_CLASSES_ROOT, openKey.c_str(), &opened) != ERROR_SUCCESS) return {};
    UniqueHkey key(opened);
    char buffer[kRegistryBufferSize] = {};
    LONG size = kRegistryBufferSize;
    if (::RegQueryValueA(key.get(), "command", buffer, &size) != ERROR_SUCCESS) return {};
    key.reset();

    const std::string named = core::ExecutableOfOpenCommand(TextOf(buffer));
    if (!core::IsAbsolutePath(named)) return {};
    const std::string executable = TBrowser::ExpandLongPath(named);
    return FileExists(executable) ? executable : std::string();
}

}  // namespace

TBrowser::TBrowser() : DdeMgr_(std::make_unique<TDdeMgr>()) {
    GlobalDdeMgr = DdeMgr_.get();
    SetBrowserExe(ReadIniBrowser());
    if (BrowserExe_.empty()) {
        const std::string fromRegistry = FindRegistryBrowser();
        if (!fromRegistry.empty()) SetBrowserExe(fromRegistry);
    }
}

TBrowser::~TBrowser() {
    if (GlobalDdeMgr == DdeMgr_.get()) GlobalDdeMgr = nullptr;
    DdeMgr_.reset();
}

void TBrowser::SetBrowserExe(const std::string& path) {
    // A bare or relative name would be found in the current folder, and started from wherever the search finds it.
    if (core::IsAbsolutePath(path) && FileExists(path)) BrowserExe_ = path;
}

std::string TBrowser::FindRegistryBrowser() {
    for (const char* choice : kUserChoiceKeys) {
        const std::string browser = BrowserOfClass(UserChoiceProgId(choice));
        if (!browser.empty()) return browser;
    }
    char buffer[kRegistryBufferSize] = {};
    LONG size = kRegistryBufferSize;
    if (::RegQueryValueA(HKEY_CLASSES_ROOT, ".htm", buffer, &size) != ERROR_SUCCESS) return {};
    return BrowserOfClass(TextOf(buffer));
}

std::string TBrowser::ExpandLongPath(const std::string& path) {
    if (!FileExists(path)) return path;
    std::string rest = path;
    std::string result;
    for (std::size_t slash = core::LastBackslashOf(rest, ::IsDBCSLeadByte); slash != std::string::npos;
         slash = core::LastBackslashOf(rest, ::IsDBCSLeadByte)) {
        result = "\\" + LongNameOfItem(rest) + result;
        rest.resize(slash);
    }
    return rest + result;
}

std::string TBrowser::LongNameOfItem(const std::string& path) {
    WIN32_FIND_DATAA found{};
    UniqueFind search(::FindFirstFileA(path.c_str(), &found));
    if (!search) return {};
    return found.cFileName[0] != '\0' ? found.cFileName : found.cAlternateFileName;
}

std::string TBrowser::DdeServiceName() const { return core::DdeServiceNameOf(BrowserExe_, ::IsDBCSLeadByte); }

void TBrowser::OpenPage(const std::string& page) {
    const HCURSOR previous = ::SetCursor(::LoadCursorA(nullptr, MAKEINTRESOURCEA(32514)));  // IDC_WAIT
    {
        CursorRestorer restore(previous);
        ProcessOneMessage();
        if (!OpenByDde(page)) RunBrowser(page);
    }
    ProcessOneMessage();
}

bool TBrowser::OpenByDde(const std::string& page) {
    const std::string item = core::OpenUrlRequestItem(page);
    // A quote in the page would end the item's first argument early and smuggle
    // in others; an item too long for a string handle could never be sent.
    // Neither goes over DDE; RunBrowser decides whether the page can be opened at all.
    if (page.find('"') != std::string::npos || item.size() > kMaxDdeStringChars) return false;

    TDdeClientConv conversation;
    conversation.SetConnectMode(TDataMode::ddeManual);
    conversation.SetServiceApplication(DdeServiceName());
    // The service name is a bare file name: started as a command, the platform
    // would look for it in the current folder and on PATH, where anything may
    // lie. A browser that does not answer is started by its full path instead.
    conversation.SetStartsServer(false);
    std::optional<std::string> reply;
    // The reply's meaning is the browser's affair; it is dropped unread.
    const bool opened = RequestOnTopic(conversation, kOpenUrlTopic, item, reply);
    // A browser that says no would leave the pick without a sign: it gets the
    // page on its command line. One that did not answer in time may still open it.
    return opened && !conversation.RequestRefused();
}

bool TBrowser::RequestOnTopic(TDdeClientConv& conversation, const std::string& topic, const std::string& item,
                              std::optional<std::string>& reply) {
    const bool opened = ConnectTopic(conversation, topic);
    reply = opened ? conversation.RequestText(item) : std::nullopt;
    conversation.CloseConversation();
    return opened;
}

bool TBrowser::ConnectTopic(TDdeClientConv& conversation, const std::string& topic) {
    if (!conversation.SetServiceTopic(conversation.ServiceApplication(), topic)) return false;
    return conversation.OpenConversation();
}

void TBrowser::RunBrowser(const std::string& page) {
    // Nothing is started without a browser, nor for a page that could pose as a switch.
    const std::optional<std::string> commandLine = core::BrowserCommandLine(BrowserExe_, page);
    if (!commandLine) return;
    Platform().WinExec(commandLine->c_str(), SW_SHOWNORMAL);
}

bool ProcessOneMessage() {
    MSG message{};
    if (!::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) return false;
    if (message.message == WM_QUIT) {
        // Taken here, the quit would never reach the main loop: put it back.
        ::PostQuitMessage(static_cast<int>(message.wParam));
    } else {
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
    return true;
}

}  // namespace vrln
