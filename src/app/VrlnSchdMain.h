// The application object: the hidden window that receives the tray icon's and
// the menu's messages, the tray icon with its tooltip and menu, and the owner
// of the scheduler, the browser launcher and the list of local webs.
#pragma once

#include "sched/ThreadWakeUp.h"
#include "win/Handles.h"

#include <shellapi.h>

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vrln {

class TBrowser;

// One message as the window procedure hands it to the object.
struct TMessage {
    UINT Msg;
    WPARAM WParam;
    LPARAM LParam;
    LRESULT Result;
};

constexpr UINT WM_TRAYNOTIFY = WM_USER + 384;
// Posted by the scheduler's worker when it has a new snapshot or notices for
// the tray: the window takes them, and every shell call about the icon
// happens on the thread that owns the window.
constexpr UINT WM_REFRESHTRAY = WM_APP + 1;

// The icon's uID: constant, so that Windows keeps the user's choice whether
// the icon shows on the taskbar (it remembers per program path and uID).
constexpr UINT kTrayIconId = 1;

constexpr int kIconActive = 0;
constexpr int kIconSuspended = 8;

class TPlandrel {
public:
    TPlandrel();
    virtual ~TPlandrel();
    TPlandrel(const TPlandrel&) = delete;
    TPlandrel& operator=(const TPlandrel&) = delete;

    // Creates the hidden window and runs the message loop; returns the exit
    // code that WM_QUIT carried, or 0 when the window could not be created.
    WPARAM Run();
    bool CreateTrayWindow();
    virtual void WindowProc(TMessage& message);

    // The tray. RefreshTray runs on the window's thread only.
    void RefreshTray();
    void UpdateIcon(int offset);
    void SetTrayIcon(int offset);
    void UpdateTooltip();
    void RemoveTrayIcon();
    // A notification from the icon that the main application at the path did not start.
    void ShowLaunchFailure(const std::string& path, UINT winExecResult);
    // A notification from the icon: shown now, or, where the shell does not take
    // it (no icon yet at logon, Explorer restarting or busy), tried again for a
    // while and then dropped, so that it never comes long after its event.
    void ShowNotice(const std::string& title, const std::string& text, DWORD flags);
    std::string TooltipText() const;
    void UpdateMenuItems(HMENU popup);
    // The grayed line that tells what became of the last planned launch, and a
    // separator, at the top of the popup; nothing before the first.
    void AddLastLaunchItem(HMENU popup);

    // The local webs.
    int FillWebsMenu(HMENU submenu);
    void OpenLocalWeb(std::uint32_t index);

    HWND Wnd = nullptr;
    std::unique_ptr<TScheduler> Scheduler;
    int IconBase = 1000;
    int IconOffset = -1;
    std::string LastTip;
    std::unique_ptr<TBrowser> Browser;
    std::vector<std::string> Webs;
    bool QuitReceived = false;

private:
    static LRESULT CALLBACK StaticWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

    void WMCreate(TMessage& message);
    void WMDestroy(TMessage& message);
    void WMClose(TMessage& message);
    void WMCommand(TMessage& message);
    void WMTrayNotify(TMessage& message);
    void WMRefreshTray(TMessage& message);
    void WMTaskbarCreated(TMessage& message);
    void WMDpiChanged(TMessage& message);
    void WMDisplayChange(TMessage& message);
    void WMTimeChange(TMessage& message);
    void WMSettingChange(TMessage& message);
    void WMTimer(TMessage& message);
    void DefaultHandler(TMessage& message);

    // The waits of the window's thread that dispatch its messages. A handler
    // entered again from one of them must not start another: a second page
    // request would pull the first one's conversation away, a second menu or
    // question would stack on the first. Unload and close wait for the end.
    enum class TModalWait { None, Menu, PageOpening, UnloadQuestion };
    class ModalScope;
    void AskUnload();
    // Drops the picks and right clicks that queued up while a page opened.
    void DropQueuedPicks();
    // Carries out an unload or close that arrived during a wait, once none runs.
    void RunDeferred();

    TModalWait ModalWait = TModalWait::None;
    bool CloseDeferred = false;
    bool UnloadDeferred = false;
    bool WindowDestroyed = false;

    // What the worker told: a launch that failed or came late, a wake that may not happen.
    void ShowTrayNotice(const TTrayNotice& notice);
    NOTIFYICONDATAA NewTrayRecord() const;
    void AllowTaskbarCreated();
    // Hands the shell the icon again, loaded at the size for the display's DPI now.
    void ReloadTrayIcon();
    // Hands the shell the notifications that wait, oldest first, once the icon
    // is in the tray; drops those older than kNoticeLifetimeMs.
    void ShowPendingNotices();

    // What the tray shows: the scheduler's snapshot as the window last took it.
    TTraySnapshot Tray;
    UINT TaskbarCreatedMsg = 0;
    // Notifications that the shell has not taken yet: it drops one for an icon it
    // does not show (taskbar still starting, or restarting), or when it is busy.
    struct TNotice {
        std::string title;
        std::string text;
        DWORD flags = 0;
        ULONGLONG since = 0;  // on the clock that goes on while the machine sleeps
    };
    std::deque<TNotice> PendingNotices;
    bool SendingNotice = false;
    // Told once per moment.
    std::optional<double> LateToldFor;
    WPARAM QuitCode = 0;
};

// The one application object; the window procedure finds it here.
extern TPlandrel* Plandrel;

}  // namespace vrln
