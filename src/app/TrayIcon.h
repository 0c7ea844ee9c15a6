// The program's icon in the taskbar's notification area, for its whole life:
// its picture and tooltip, and the notifications it shows.
#pragma once

#include "sched/ThreadWakeUp.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

namespace vrln {

constexpr UINT WM_TRAYNOTIFY = WM_USER + 384;

// The icon's uID: constant, so that Windows keeps the user's choice whether
// the icon shows on the taskbar (it remembers per program path and uID).
constexpr UINT kTrayIconId = 1;

constexpr int kIconActive = 0;
constexpr int kIconSuspended = 8;

// Added when made, deleted when it goes. Every call to the shell is made on
// the thread of the window, which receives the icon's mouse notes as
// WM_TRAYNOTIFY and passes on the icon's WM_TIMER and the shell's
// "TaskbarCreated". While the shell has not taken the icon (its taskbar still
// starting at logon), it is handed over again every second.
class TTrayIcon {
public:
    // Added with the active picture and the snapshot's tooltip.
    TTrayIcon(HWND wnd, const TTraySnapshot& tray);
    ~TTrayIcon();
    TTrayIcon(const TTrayIcon&) = delete;
    TTrayIcon& operator=(const TTrayIcon&) = delete;

    // The message the shell sends when its taskbar was (re)created.
    static UINT TaskbarCreatedMessage();

    // The picture for the snapshot's flags and its tooltip; only what changed goes to the shell.
    void Show(const TTraySnapshot& tray);
    // The taskbar was restarted, or (Windows 10) the display's DPI changed: added again.
    void TaskbarCreated();
    // The display's DPI or size changed: the picture loaded afresh at its size.
    void DisplayChanged();
    // The user's date format or names changed: the tooltip is written anew.
    void TooltipWordsChanged();
    // A notification: shown now, or, where the shell does not take it (no icon
    // yet at logon, Explorer restarting or busy), tried again for a while and
    // then dropped, so that it never comes long after its event.
    void Notify(const std::string& title, const std::string& text, DWORD flags);
    // One of the icon's timers; false when the id is not the icon's.
    bool Timer(UINT_PTR id);

    // The picture shown (kIconActive or kIconSuspended), -1 while the shell has not taken the icon.
    int Offset() const { return IconOffset; }

    // Told of each notification when the shell has taken it, or when it is dropped.
    std::function<void(const std::string& title, bool shown)> OnNoticeDone;

private:
    NOTIFYICONDATAA NewRecord() const;
    // Hands the shell the icon with the picture at the offset: added while it
    // is not there, else modified.
    void Set(int offset);
    void UpdateTooltip();
    std::string TooltipText() const;
    // Hands the shell the notifications that wait, oldest first, once the icon
    // is in the tray; drops those older than their lifetime.
    void ShowPendingNotices();

    const HWND Wnd;
    TTraySnapshot Tray;
    int IconOffset = -1;
    std::string LastTip;
    struct TNotice {
        std::string title;
        std::string text;
        DWORD flags = 0;
        ULONGLONG since = 0;  // on the clock that goes on while the machine sleeps
    };
    std::deque<TNotice> PendingNotices;
    // Drops the oldest notice that waits, and tells so.
    void DropOldestNotice();
    void NoticeDone(const std::string& title, bool shown);
    bool SendingNotice = false;
};

}  // namespace vrln
