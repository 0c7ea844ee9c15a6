#include "app/TrayIcon.h"

#include "core/DateTime.h"
#include "core/Texts.h"
#include "sched/LocalTime.h"
#include "win/Handles.h"
#include "win/Platform.h"

#include <cstring>

namespace vrln {

namespace {

constexpr int kIconBase = 1000;
constexpr UINT kIconRetryMs = 1000;
// A notification the shell did not take is tried again this often, for at most
// this long after its event; a few wait at most, the oldest going first.
constexpr UINT kNoticeRetryMs = 2000;
constexpr ULONGLONG kNoticeLifetimeMs = 60000;
constexpr std::size_t kMostPendingNotices = 4;
// The shell's own wait for the taskbar's answer is about four seconds.
constexpr ULONGLONG kShellTimeoutMs = 3000;

constexpr UINT_PTR kNoticeTimer = 1;
constexpr UINT_PTR kIconTimer = 2;

int OffsetForState(std::uint8_t state) {
    return (state & core::kStateSuspended) ? kIconSuspended : kIconActive;
}

void CopyTip(NOTIFYICONDATAA& record, const std::string& tip) {
    const std::string cut = core::CutTip(tip);
    std::memcpy(record.szTip, cut.c_str(), cut.size() + 1);
}

template <typename Function>
Function User32Function(const char* name) {
    // Through void*: GCC warns about casting FARPROC to another function type.
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("user32.dll"), name)));
}

// The notification area shows the small-icon size of the display's DPI.
int SmallIconSize(HWND wnd) {
    // Both from Windows 10 on; before, the system metric is the one the shell uses.
    static const auto dpiForWindow = User32Function<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
    static const auto metricsForDpi = User32Function<int(WINAPI*)(int, UINT)>("GetSystemMetricsForDpi");
    const UINT dpi = dpiForWindow ? dpiForWindow(wnd) : 0;
    if (metricsForDpi && dpi != 0) return metricsForDpi(SM_CXSMICON, dpi);
    return ::GetSystemMetrics(SM_CXSMICON);
}

// An elevated process gets the shell's message only when it lets it through (UIPI).
void AllowTaskbarCreated(HWND wnd) {
    // From Windows 7 on.
    static const auto changeFilter =
        User32Function<BOOL(WINAPI*)(HWND, UINT, DWORD, PCHANGEFILTERSTRUCT)>("ChangeWindowMessageFilterEx");
    const UINT message = TTrayIcon::TaskbarCreatedMessage();
    if (changeFilter && message != 0) changeFilter(wnd, message, MSGFLT_ALLOW, nullptr);
}

}  // namespace

TTrayIcon::TTrayIcon(HWND wnd, const TTraySnapshot& tray) : Wnd(wnd), Tray(tray) {
    AllowTaskbarCreated(Wnd);
    Set(kIconActive);
}

TTrayIcon::~TTrayIcon() {
    ::KillTimer(Wnd, kIconTimer);
    ::KillTimer(Wnd, kNoticeTimer);
    NOTIFYICONDATAA record = NewRecord();
    Platform().ShellNotifyIcon(NIM_DELETE, &record);
}

UINT TTrayIcon::TaskbarCreatedMessage() {
    static const UINT message = ::RegisterWindowMessageA("TaskbarCreated");
    return message;
}

NOTIFYICONDATAA TTrayIcon::NewRecord() const {
    NOTIFYICONDATAA record{};
    // The first version of the record; its size differs between 32 and 64 bits.
    record.cbSize = NOTIFYICONDATAA_V1_SIZE;
    record.hWnd = Wnd;
    record.uID = kTrayIconId;
    return record;
}

std::string TTrayIcon::TooltipText() const {
    return core::TooltipText(Tray.State, core::FormatLaunchMoment(Tray.StartupDate, UserLocaleNames()),
                             Tray.WaitingForNetwork);
}

void TTrayIcon::Show(const TTraySnapshot& tray) {
    Tray = tray;
    const int offset = OffsetForState(Tray.State);
    if (offset != IconOffset) Set(offset);
    UpdateTooltip();
}

void TTrayIcon::TaskbarCreated() {
    // Also sent when the display's DPI changes (Windows 10): the icon is then
    // loaded afresh at the new size, and Set finds it still there.
    IconOffset = -1;
    Set(OffsetForState(Tray.State));
}

void TTrayIcon::DisplayChanged() {
    if (IconOffset != -1) Set(IconOffset);
}

void TTrayIcon::TooltipWordsChanged() { UpdateTooltip(); }

bool TTrayIcon::Timer(UINT_PTR id) {
    if (id == kNoticeTimer) {
        ShowPendingNotices();
    } else if (id == kIconTimer) {
        Set(OffsetForState(Tray.State));
    } else {
        return false;
    }
    return true;
}

void TTrayIcon::Set(int offset) {
    NOTIFYICONDATAA record = NewRecord();
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = WM_TRAYNOTIFY;
    const int size = SmallIconSize(Wnd);
    UniqueHicon icon(static_cast<HICON>(::LoadImageA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(kIconBase + offset),
                                                     IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
    record.hIcon = icon.get();
    LastTip = TooltipText();
    CopyTip(record, LastTip);
    bool shown = Platform().ShellNotifyIcon(IconOffset == -1 ? NIM_ADD : NIM_MODIFY, &record) != FALSE;
    if (!shown && IconOffset == -1) {
        // An add fails while the taskbar is still starting, but also when it timed
        // out yet took effect, or when the icon is there already: the modification
        // tells which.
        shown = Platform().ShellNotifyIcon(NIM_MODIFY, &record) != FALSE;
    }
    if (shown || IconOffset != -1) IconOffset = offset;
    if (IconOffset == -1) {
        ::SetTimer(Wnd, kIconTimer, kIconRetryMs, nullptr);
        return;
    }
    ::KillTimer(Wnd, kIconTimer);
    if (shown) ShowPendingNotices();
}

void TTrayIcon::UpdateTooltip() {
    if (IconOffset == -1) return;  // not added yet: the next add carries the text
    std::string text = TooltipText();
    if (text == LastTip) return;
    LastTip = std::move(text);
    NOTIFYICONDATAA record = NewRecord();
    record.uFlags = NIF_TIP;
    CopyTip(record, LastTip);
    Platform().ShellNotifyIcon(NIM_MODIFY, &record);
}

void TTrayIcon::Notify(const std::string& title, const std::string& text, DWORD flags) {
    PendingNotices.push_back({core::CutText(title, sizeof(NOTIFYICONDATAA::szInfoTitle) - 1, ::IsDBCSLeadByte),
                              core::CutText(text, core::kMaxInfoChars, ::IsDBCSLeadByte), flags,
                              Platform().GetTickCount64()});
    if (PendingNotices.size() > kMostPendingNotices) DropOldestNotice();
    ShowPendingNotices();
}

void TTrayIcon::DropOldestNotice() {
    const std::string title = std::move(PendingNotices.front().title);
    PendingNotices.pop_front();
    NoticeDone(title, false);
}

void TTrayIcon::NoticeDone(const std::string& title, bool shown) {
    if (OnNoticeDone) OnNoticeDone(title, shown);
}

void TTrayIcon::ShowPendingNotices() {
    // The shell call lets sent messages in; one that shows notices itself would
    // hand the shell the one in flight a second time.
    if (SendingNotice) return;
    SendingNotice = true;
    struct Done {
        bool& sending;
        ~Done() { sending = false; }
    } done{SendingNotice};
    while (!PendingNotices.empty()) {
        // Read anew for each: one told during the shell call below is younger than a reading before it.
        const ULONGLONG now = Platform().GetTickCount64();
        if (now > PendingNotices.front().since && now - PendingNotices.front().since > kNoticeLifetimeMs) {
            DropOldestNotice();  // it would tell of something long past
            continue;
        }
        if (IconOffset == -1) break;  // the icon's add brings it
        // Out of the queue while the shell has it, so that a notice told meanwhile cannot push it out.
        const TNotice notice = std::move(PendingNotices.front());
        PendingNotices.pop_front();
        NOTIFYICONDATAA record = NewRecord();
        // The notification's fields count only in a record at least this long.
        record.cbSize = NOTIFYICONDATAA_V2_SIZE;
        record.uFlags = NIF_INFO;
        record.dwInfoFlags = notice.flags;
        std::memcpy(record.szInfoTitle, notice.title.c_str(), notice.title.size() + 1);
        std::memcpy(record.szInfo, notice.text.c_str(), notice.text.size() + 1);
        const ULONGLONG before = Platform().GetTickCount64();
        ::SetLastError(ERROR_SUCCESS);
        if (!Platform().ShellNotifyIcon(NIM_MODIFY, &record)) {
            // The call sends the taskbar a message with a time-out: a FALSE after
            // it ran out says nothing of whether the shell shows the notification,
            // and a second hand-over could show it twice. Only a refusal at once is sure.
            const bool mayBeShown =
                ::GetLastError() == ERROR_TIMEOUT || Platform().GetTickCount64() - before >= kShellTimeoutMs;
            if (!mayBeShown) {
                PendingNotices.push_front(notice);
                if (PendingNotices.size() > kMostPendingNotices) DropOldestNotice();
                break;
            }
        }
        NoticeDone(notice.title, true);
    }
    if (PendingNotices.empty()) {
        ::KillTimer(Wnd, kNoticeTimer);
    } else {
        ::SetTimer(Wnd, kNoticeTimer, kNoticeRetryMs, nullptr);
    }
}

}  // namespace vrln
