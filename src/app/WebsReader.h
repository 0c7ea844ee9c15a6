// The read-ahead of the local webs: a thread of its own reads what the tray
// menu needs of them (webs.dat and each web's title) at start and whenever a
// change notification tells of a change, at low priority, and hands each new
// list to the window whole, so that opening the menu reads nothing it knows.
#pragma once

#include "app/LocalWebs.h"
#include "core/WebsWatch.h"
#include "win/Handles.h"

#include <windows.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vrln {

// Posted to the window when a list waits to be taken; a list that waits is
// also taken when the menu opens, so a post that fails loses nothing.
constexpr UINT WM_WEBSREAD = WM_APP + 2;

// The thread owns all it reads (the work path it watches, the lines of
// webs.dat, the titles and their stamps, the change notifications); the
// window owns the lists it took. Only the slot of the hand-over and the
// requests cross, under the one lock.
class TWebsReader {
public:
    enum class TStep {
        Handing,  // a new list is made and not handed yet
        Handed,   // it waits for the window, which is told
    };
    using StepHook = std::function<void(TStep step, const TWebsList& list)>;

    // Starts the thread; wnd gets WM_WEBSREAD when a list waits.
    explicit TWebsReader(HWND wnd);
    // Stops the thread promptly, also in the middle of a read.
    ~TWebsReader();
    TWebsReader(const TWebsReader&) = delete;
    TWebsReader& operator=(const TWebsReader&) = delete;

    // The newest list not taken yet, or null.
    std::shared_ptr<const TWebsList> Take();
    // Reads again soon: the work path may have changed, or the window met a
    // change that no notification told of.
    void ReadAgain();

    // WaitForMultipleObjects takes 64 handles: the stop, the request and the folders.
    static constexpr std::size_t kMaxWatchedFolders = MAXIMUM_WAIT_OBJECTS - 2;

    // For tests, set while no reader runs: called on the reader's thread.
    static StepHook StepHookForTest;

private:
    struct TWatch {
        core::WatchedFolder Folder;
        UniqueChangeNotification Handle;
        // The webs' own folders below it were opened since it was set (see Pass).
        bool SubfoldersOpened = false;
    };
    enum class TCause { Stop, Request, Change, TimeOut };

    static DWORD WINAPI ThreadMain(LPVOID self);
    void Run();
    // Reads the work path, webs.dat and the titles, and hands over what changed.
    void Pass();
    // Reads webs.dat unless its stamp says it is as read before.
    void ReadList(const std::string& workPath, std::uint64_t passAt);
    // Watches the plan's folders, keeping those watched already; closes the
    // others unless keepOthers. Returns, per folder of the plan, its watch in
    // Watches, or null where the folder could not be watched.
    std::vector<TWatch*> Watch(const core::WatchPlan& plan, bool keepOthers);
    void Hand(std::shared_ptr<const TWebsList> list);
    // Waits for the next cause; a folder's notification is asked for again at once.
    TCause WaitForCause(DWORD ms);
    // Returns once changes have paused, or after a bound, or at a stop or request.
    void AwaitPause();

    HWND Wnd;
    // ---- The reader's own -------------------------------------------------
    std::vector<std::unique_ptr<TWatch>> Watches;
    bool WatchesFailed = false;  // the platform refused the wait: the window checks instead
    std::vector<std::string> Unwatchable;
    std::string ListPath;
    std::vector<std::string> Lines;
    TFileStamp ListSeen;
    bool ListSettled = false;
    TWebTitles Titles;
    bool ReadFailed = false;  // in this pass: a file that is there could not be read
    DWORD RetryMs = 0;
    std::shared_ptr<const TWebsList> LastHanded;

    // ---- The hand-over, under its lock -------------------------------------------
    std::mutex Lock;
    std::shared_ptr<const TWebsList> Ready;

    std::atomic<bool> Stopping{false};
    UniqueHandle StopEvent;
    UniqueHandle RequestEvent;
    UniqueHandle Thread;
};

}  // namespace vrln
