#include "app/WebsReader.h"

#include "app/Settings.h"
#include "core/Paths.h"
#include "core/Texts.h"
#include "core/WebsList.h"

#include <shlobj.h>

#include <algorithm>
#include <utility>

namespace vrln {

TWebsReader::StepHook TWebsReader::StepHookForTest;

namespace {

constexpr DWORD kNotifyFilter =
    FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE;
// Changes come in bursts (a file written in pieces, a web being downloaded):
// the read waits until they pause this long, but not longer than the bound.
constexpr DWORD kPauseMs = 100;
constexpr DWORD kLongestWaitForPauseMs = 1000;
// A file that is there but could not be read (held by its writer) is tried
// again after this, then after twice as long each time, up to the last.
constexpr DWORD kFirstRetryMs = 1000;
constexpr DWORD kLastRetryMs = 5 * 60 * 1000;

bool IsLeadByte(unsigned char c) { return ::IsDBCSLeadByte(c) != FALSE; }

// Where Windows redirects the writes of a program it virtualizes (this one and
// the main application alike) to the user's VirtualStore: a notification of
// the folder itself never tells of them.
std::vector<std::string> RedirectedFolders() {
    UniqueHandle token;
    DWORD virtualized = 0, size = 0;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()) ||
        !::GetTokenInformation(token.get(), TokenVirtualizationEnabled, &virtualized, sizeof virtualized, &size) ||
        !virtualized) {
        return {};
    }
    std::vector<std::string> folders;
    for (const int id : {CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86, CSIDL_WINDOWS, CSIDL_COMMON_APPDATA}) {
        char path[MAX_PATH] = {};
        if (SUCCEEDED(::SHGetFolderPathA(nullptr, id, nullptr, SHGFP_TYPE_CURRENT, path)) && path[0])
            folders.push_back(path);
    }
    return folders;
}

}  // namespace

TWebsReader::TWebsReader(HWND wnd)
    : Wnd(wnd),
      Unwatchable(RedirectedFolders()),
      StopEvent(::CreateEventA(nullptr, TRUE, FALSE, nullptr)),
      RequestEvent(::CreateEventA(nullptr, FALSE, FALSE, nullptr)) {
    // Without its events the thread could not be stopped: the window reads as it opens the menu.
    if (!StopEvent || !RequestEvent) return;
    Thread.reset(::CreateThread(nullptr, 0, &TWebsReader::ThreadMain, this, CREATE_SUSPENDED, nullptr));
    if (!Thread) return;
    ::SetThreadPriority(Thread.get(), THREAD_PRIORITY_LOWEST);
    ::ResumeThread(Thread.get());
}

TWebsReader::~TWebsReader() {
    Stopping = true;
    if (StopEvent) ::SetEvent(StopEvent.get());
    if (Thread) ::WaitForSingleObject(Thread.get(), INFINITE);
}

std::shared_ptr<const TWebsList> TWebsReader::Take() {
    std::lock_guard<std::mutex> hold(Lock);
    return std::move(Ready);
}

void TWebsReader::ReadAgain() {
    if (RequestEvent) ::SetEvent(RequestEvent.get());
}

DWORD WINAPI TWebsReader::ThreadMain(LPVOID self) {
    try {
        static_cast<TWebsReader*>(self)->Run();
    } catch (...) {
        // Nothing may unwind out of the thread; the window reads as it opens the menu.
    }
    return 0;
}

void TWebsReader::Run() {
    // Lower I/O and memory priority as well; refused before Vista and under Wine (87).
    ::SetThreadPriority(::GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);
    bool due = true;
    while (!Stopping) {
        if (due) Pass();
        switch (WaitForCause(RetryMs ? RetryMs : INFINITE)) {
            case TCause::Stop: return;
            case TCause::Change: AwaitPause(); break;
            case TCause::Request:
            case TCause::TimeOut: break;
        }
        due = true;
    }
}

TWebsReader::TCause TWebsReader::WaitForCause(DWORD ms) {
    HANDLE causes[MAXIMUM_WAIT_OBJECTS] = {StopEvent.get(), RequestEvent.get()};
    DWORD count = 2;
    for (const std::unique_ptr<TWatch>& watch : Watches) causes[count++] = watch->Handle.get();
    const DWORD ended = ::WaitForMultipleObjects(count, causes, FALSE, ms);
    if (Stopping || ended == WAIT_OBJECT_0) return TCause::Stop;
    if (ended == WAIT_OBJECT_0 + 1) return TCause::Request;
    if (ended == WAIT_TIMEOUT) return TCause::TimeOut;
    if (ended >= WAIT_OBJECT_0 + 2 && ended < WAIT_OBJECT_0 + count) {
        const std::size_t index = ended - WAIT_OBJECT_0 - 2;
        // Gone with its folder: the next pass watches again what is there.
        if (!::FindNextChangeNotification(Watches[index]->Handle.get())) Watches.erase(Watches.begin() + index);
        return TCause::Change;
    }
    // A handle the wait refuses would end every wait at once: from now on the
    // window compares the stamps at each opening instead.
    WatchesFailed = true;
    Watches.clear();
    return TCause::Request;
}

void TWebsReader::AwaitPause() {
    const ULONGLONG start = ::GetTickCount64();
    for (;;) {
        const ULONGLONG waited = ::GetTickCount64() - start;
        if (waited >= kLongestWaitForPauseMs) return;
        if (WaitForCause(static_cast<DWORD>(std::min<ULONGLONG>(kPauseMs, kLongestWaitForPauseMs - waited))) !=
            TCause::Change)
            return;
    }
}

void TWebsReader::Pass() {
    const std::string workPath = ReadWorkPath();
    const std::uint64_t passAt = FileTimeNow();
    ReadFailed = false;
    // The list's folder is watched before webs.dat is read, so that a change during the read is told.
    Watch(core::PlanWatches(workPath, {}, kMaxWatchedFolders, Unwatchable, IsLeadByte), true);
    ReadList(workPath, passAt);
    const core::WatchPlan plan = core::PlanWatches(workPath, Lines, kMaxWatchedFolders, Unwatchable, IsLeadByte);
    const std::vector<TWatch*> watches = Watch(plan, false);
    const auto watchOf = [&](int watcher) { return watcher == core::kNotWatched ? nullptr : watches[watcher]; };

    auto list = std::make_shared<TWebsList>();
    list->WorkPath = workPath;
    list->ListSeen = ListSeen;
    list->ListSettled = ListSettled;
    list->ListWatched = watchOf(plan.ListWatcher) != nullptr;
    list->Items.reserve(Lines.size());
    Titles.Begin();
    for (std::size_t n = 0; n < Lines.size(); ++n) {
        if (Stopping) return;
        const TWatch* watch = watchOf(plan.WebWatchers[n]);
        const std::string ownFolder = core::DirectoryPart(Lines[n], IsLeadByte);
        if (watch && watch->Folder.Subtree && !watch->SubfoldersOpened && ownFolder != watch->Folder.Path) {
            // Wine's watch of a folder's subfolders takes one in only when it is opened after the watch was set.
            UniqueFile opened(::CreateFileA(ownFolder.c_str(), FILE_LIST_DIRECTORY,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        }
        const TWebTitles::TTitle title = Titles.Title(Lines[n]);
        ReadFailed = ReadFailed || title.ReadFailed;
        list->Items.push_back(
            {Lines[n], core::WebMenuItemText(n, title.Title), watch != nullptr, title.Seen, title.Settled});
    }
    Titles.End();
    for (TWatch* watch : watches) {
        if (watch) watch->SubfoldersOpened = true;
    }
    RetryMs = !ReadFailed ? 0 : RetryMs ? std::min(RetryMs * 2, kLastRetryMs) : kFirstRetryMs;
    Hand(std::move(list));
}

void TWebsReader::ReadList(const std::string& workPath, std::uint64_t passAt) {
    const std::string listPath = workPath.empty() ? std::string() : workPath + "webs.dat";
    const TFileStamp seen = listPath.empty() ? TFileStamp{} : StampOf(listPath);
    if (listPath == ListPath && seen == ListSeen && ListSettled) return;
    if (!seen.Found) {
        Lines.clear();
    } else if (const std::optional<std::string> text = ReadWebsFile(listPath)) {
        Lines = core::SplitWebsLines(*text, kMaxWebs);
    } else {
        // Held by its writer: the window, finding the stamp changed, reads as the menu opens.
        ReadFailed = true;
        if (listPath != ListPath) {
            Lines.clear();
            ListSeen = {};
            ListPath = listPath;
        }
        return;
    }
    ListPath = listPath;
    ListSeen = seen;
    ListSettled = !seen.Found || SettledAt(seen, passAt);
}

std::vector<TWebsReader::TWatch*> TWebsReader::Watch(const core::WatchPlan& plan, bool keepOthers) {
    std::vector<TWatch*> watches(plan.Folders.size(), nullptr);
    if (WatchesFailed) return watches;
    std::vector<std::unique_ptr<TWatch>> kept;
    for (std::size_t i = 0; i < plan.Folders.size(); ++i) {
        const core::WatchedFolder& folder = plan.Folders[i];
        const auto old = std::find_if(Watches.begin(), Watches.end(),
                                      [&](const std::unique_ptr<TWatch>& w) { return w->Folder == folder; });
        if (old != Watches.end()) {
            kept.push_back(std::move(*old));
            Watches.erase(old);
        } else {
            UniqueChangeNotification handle(
                ::FindFirstChangeNotificationA(folder.Path.c_str(), folder.Subtree, kNotifyFilter));
            if (!handle) continue;  // not there (yet): the window compares stamps
            kept.push_back(std::make_unique<TWatch>(TWatch{folder, std::move(handle), false}));
        }
        watches[i] = kept.back().get();
    }
    for (std::unique_ptr<TWatch>& other : Watches) {
        if (keepOthers && kept.size() < kMaxWatchedFolders) kept.push_back(std::move(other));
    }
    Watches = std::move(kept);
    return watches;
}

void TWebsReader::Hand(std::shared_ptr<const TWebsList> list) {
    if (LastHanded && *LastHanded == *list) return;
    if (StepHookForTest) StepHookForTest(TStep::Handing, *list);
    LastHanded = list;
    bool wake;
    {
        std::lock_guard<std::mutex> hold(Lock);
        wake = !Ready;
        Ready = list;
    }
    // One post until the window takes the list; it takes a newer one with it.
    if (wake) ::PostMessageA(Wnd, WM_WEBSREAD, 0, 0);
    if (StepHookForTest) StepHookForTest(TStep::Handed, *list);
}

}  // namespace vrln
