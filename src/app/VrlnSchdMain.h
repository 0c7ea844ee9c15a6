// The application object: the hidden window that receives the tray icon's and
// the menu's messages, the menu and its commands, and the owner of the
// scheduler, the tray icon, the browser launcher and the list of local webs.
#pragma once

#include "app/TrayIcon.h"
#include "app/WebsReader.h"
#include "sched/ThreadWakeUp.h"
#include "win/Handles.h"

#include <cstdint>
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

// Posted by the scheduler's worker when it has a new snapshot or notices for
// the tray: the window takes them, and every shell call about the icon
// happens on the thread that owns the window.
constexpr UINT WM_REFRESHTRAY = WM_APP + 1;

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

    // The icon shows the scheduler's snapshot as it is now, and the notices it handed over.
    void RefreshTray();
    // A notification from the icon that the main application at the path did not start.
    void ShowLaunchFailure(const std::string& path, UINT winExecResult);
    // What the worker told: a launch that failed or came late, a wake that may not happen.
    void ShowTrayNotice(const TTrayNotice& notice);
    void UpdateMenuItems(HMENU popup);
    // The grayed line that tells what became of the last planned launch, and a
    // separator, at the top of the popup; nothing before the first.
    void AddLastLaunchItem(HMENU popup);

    // The local webs: from the list read ahead when it still holds, else read now.
    int FillWebsMenu(HMENU submenu);
    void OpenLocalWeb(std::uint32_t index);

    HWND Window() const { return Wnd; }
    // While the window exists.
    TScheduler* Scheduler() const { return Scheduler_.get(); }
    // The icon's picture (kIconActive or kIconSuspended), -1 while the shell has not taken it.
    int IconOffset() const { return Icon ? Icon->Offset() : -1; }
    const std::vector<std::string>& Webs() const { return Webs_; }

private:
    static LRESULT CALLBACK StaticWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam);

    void WMCreate(TMessage& message);
    void WMDestroy(TMessage& message);
    void WMClose(TMessage& message);
    void WMCommand(TMessage& message);
    void WMTrayNotify(TMessage& message);
    void WMRefreshTray(TMessage& message);
    void WMWebsRead(TMessage& message);
    void WMTaskbarCreated(TMessage& message);
    void WMDpiChanged(TMessage& message);
    void WMDisplayChange(TMessage& message);
    void WMTimeChange(TMessage& message);
    void WMSettingChange(TMessage& message);
    void WMTimer(TMessage& message);
    void WMQueryEndSession(TMessage& message);
    void WMEndSession(TMessage& message);
    void DefaultHandler(TMessage& message);

    // The waits of the window's thread that dispatch its messages. A handler
    // entered again from one of them must not start another: a second page
    // request would pull the first one's conversation away, a second menu or
    // question would stack on the first. Unload and close wait for the end.
    enum class TModalWait { None, Menu, PageOpening, UnloadQuestion };
    class ModalScope;
    // Stops the worker, which stores what waits, and takes the icon away.
    void StopScheduler();
    // Hands a line of what the window decided to the worker, which writes the log.
    void LogDecision(const std::string& text);
    void AskUnload();
    // Drops the picks and right clicks that queued up while a page opened.
    void DropQueuedPicks();
    // Carries out an unload or close that arrived during a wait, once none runs.
    void RunDeferred();
    // A notification from the icon, while there is one.
    void Notify(const std::string& title, const std::string& text, DWORD flags);

    HWND Wnd = nullptr;
    std::unique_ptr<TScheduler> Scheduler_;
    std::unique_ptr<TTrayIcon> Icon;
    std::unique_ptr<TBrowser> Browser;
    // While the window exists.
    std::unique_ptr<TWebsReader> WebsReader;
    // The last list the read-ahead handed over, and the lines of the list the menu showed last.
    std::shared_ptr<const TWebsList> KnownWebs;
    std::vector<std::string> Webs_;

    TModalWait ModalWait = TModalWait::None;
    bool CloseDeferred = false;
    bool UnloadDeferred = false;
    bool WindowDestroyed = false;
    bool QuitReceived = false;
    WPARAM QuitCode = 0;
    // Told once per moment.
    std::optional<double> LateToldFor;
};

// The one application object; the window procedure finds it here.
extern TPlandrel* Plandrel;

}  // namespace vrln
