#include "app/VrlnSchdMain.h"

#include "app/Autostart.h"
#include "app/Browser.h"
#include "app/LocalWebs.h"
#include "app/res/resource.h"
#include "core/DateTime.h"
#include "core/LastLaunch.h"
#include "core/Texts.h"
#include "win/AnsiFiles.h"
#include "win/Platform.h"

#include <cstring>
#include <optional>

namespace vrln {

TPlandrel* Plandrel = nullptr;

namespace {
constexpr const char* kWindowClass = "TPlandrel";
constexpr const char* kMenuName = "PLANDRELMENU";
constexpr const char* kUnloadQuestion = "Do you want to stop the Vorlane scheduler?";
constexpr const char* kUnloadCaption = "Exit";

// A notification the shell did not take is tried again this often, for at most
// this long after its event; a few wait at most, the oldest going first.
constexpr UINT_PTR kNoticeTimer = 1;
constexpr UINT kNoticeRetryMs = 2000;
// An icon that the shell did not take (its taskbar still starting at logon) is handed over again this often.
constexpr UINT_PTR kIconTimer = 2;
constexpr UINT kIconRetryMs = 1000;
constexpr ULONGLONG kNoticeLifetimeMs = 60000;
constexpr std::size_t kMostPendingNotices = 4;
// The shell's own wait for the taskbar's answer is about four seconds.
constexpr ULONGLONG kShellTimeoutMs = 3000;

int OffsetForState(std::uint8_t state) {
    return (state & core::kStateSuspended) ? kIconSuspended : kIconActive;
}
}  // namespace

// Marks the window's thread as waiting in one of its modal loops for as long as it lives.
class TPlandrel::ModalScope {
public:
    ModalScope(TPlandrel& owner, TModalWait wait) : owner_(owner) { owner_.ModalWait = wait; }
    ~ModalScope() { owner_.ModalWait = TModalWait::None; }
    ModalScope(const ModalScope&) = delete;
    ModalScope& operator=(const ModalScope&) = delete;

private:
    TPlandrel& owner_;
};

TPlandrel::TPlandrel()
    : Browser(std::make_unique<TBrowser>()),
      TaskbarCreatedMsg(::RegisterWindowMessageA("TaskbarCreated")) {
    RegisterAutostart(kAutostartValue, OwnExePath());
}

TPlandrel::~TPlandrel() {
    // Normally WM_DESTROY has run already; an object freed with its window still
    // alive stops the scheduler and removes the icon the same way.
    if (Wnd && ::IsWindow(Wnd)) ::DestroyWindow(Wnd);
    Browser.reset();
    Webs.clear();
}

// ---- Window and message loop ------------------------------------------------

bool TPlandrel::CreateTrayWindow() {
    const HINSTANCE instance = ::GetModuleHandleA(nullptr);
    WNDCLASSA existing{};
    if (!::GetClassInfoA(instance, kWindowClass, &existing)) {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = &TPlandrel::StaticWindowProc;
        windowClass.hInstance = instance;
        windowClass.hCursor = ::LoadCursorA(nullptr, IDC_ARROW);
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        windowClass.lpszClassName = kWindowClass;
        if (!::RegisterClassA(&windowClass)) return false;
    }
    const HWND wnd = ::CreateWindowExA(0, kWindowClass, "", 0, ::GetSystemMetrics(SM_CXSCREEN) / 2,
                                       ::GetSystemMetrics(SM_CYSCREEN) / 2, 0, 0, nullptr, nullptr, instance,
                                       nullptr);
    Wnd = wnd;
    if (!wnd) return false;
    ::ShowWindow(wnd, SW_HIDE);
    return true;
}

WPARAM TPlandrel::Run() {
    if (!CreateTrayWindow()) return 0;
    MSG msg;
    while (!QuitReceived) {
        if (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                QuitReceived = true;
                QuitCode = msg.wParam;
            } else {
                ::TranslateMessage(&msg);
                ::DispatchMessageA(&msg);
            }
        } else {
            // A nested loop may have taken the quit from the queue: a program
            // without its window ends all the same.
            if (WindowDestroyed) break;
            ::WaitMessage();
        }
    }
    return QuitCode;
}

LRESULT CALLBACK TPlandrel::StaticWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    TPlandrel* self = Plandrel;
    if (!self) return ::DefWindowProcA(wnd, msg, wParam, lParam);
    self->Wnd = wnd;
    TMessage message{msg, wParam, lParam, 0};
    try {
        self->WindowProc(message);
    } catch (...) {
        // Nothing may unwind through the system's dispatcher.
        message.Result = 0;
    }
    return message.Result;
}

void TPlandrel::WindowProc(TMessage& message) {
    switch (message.Msg) {
        case WM_CREATE: WMCreate(message); return;
        case WM_DESTROY: WMDestroy(message); return;
        case WM_CLOSE: WMClose(message); return;
        case WM_COMMAND: WMCommand(message); return;
        case WM_TRAYNOTIFY: WMTrayNotify(message); return;
        case WM_REFRESHTRAY: WMRefreshTray(message); return;
        case WM_DPICHANGED: WMDpiChanged(message); return;
        case WM_DISPLAYCHANGE: WMDisplayChange(message); return;
        case WM_TIMECHANGE: WMTimeChange(message); return;
        case WM_SETTINGCHANGE: WMSettingChange(message); return;
        case WM_TIMER: WMTimer(message); return;
        default: break;
    }
    // The shell broadcasts this registered message when the taskbar is restarted.
    if (TaskbarCreatedMsg != 0 && message.Msg == TaskbarCreatedMsg) {
        WMTaskbarCreated(message);
        return;
    }
    DefaultHandler(message);
}

void TPlandrel::DefaultHandler(TMessage& message) {
    message.Result = ::DefWindowProcA(Wnd, message.Msg, message.WParam, message.LParam);
}

// ---- Handlers -----------------------------------------------------------------

void TPlandrel::WMCreate(TMessage& message) {
    message.Result = 0;
    Scheduler = std::make_unique<TScheduler>(false);
    Tray = Scheduler->Snapshot();
    // Shell calls belong to the window's thread: the worker posts that it has something new.
    const HWND wnd = Wnd;
    Scheduler->AttachWakeUp([wnd](TScheduler&) { ::PostMessageA(wnd, WM_REFRESHTRAY, 0, 0); });
    Scheduler->SetPriority(THREAD_PRIORITY_LOWEST);
    AllowTaskbarCreated();
    SetTrayIcon(kIconActive);
}

void TPlandrel::WMDestroy(TMessage& message) {
    message.Result = 0;
    if (Scheduler) {
        // After the detach no refresh is asked for; one already posted dies with the window.
        Scheduler->DetachWakeUp();
        RemoveTrayIcon();
        Scheduler.reset();
    }
    WindowDestroyed = true;
    ::PostQuitMessage(0);
}

void TPlandrel::WMClose(TMessage& message) {
    if (ModalWait == TModalWait::None) {
        DefaultHandler(message);  // destroys the window
        return;
    }
    message.Result = 0;
    CloseDeferred = true;
    // An open menu would otherwise keep the program until the user closes it.
    if (ModalWait == TModalWait::Menu) ::EndMenu();
}

void TPlandrel::AskUnload() {
    int answer;
    {
        ModalScope question(*this, TModalWait::UnloadQuestion);
        answer = Platform().MessageBox(Wnd, kUnloadQuestion, kUnloadCaption, MB_YESNO);
    }
    if (answer == IDYES) {
        CloseDeferred = UnloadDeferred = false;
        UnregisterAutostart(kAutostartValue);
        ::DestroyWindow(Wnd);
        return;
    }
    RunDeferred();
}

void TPlandrel::DropQueuedPicks() {
    MSG msg;
    // Messages sent meanwhile are handled now, while the page still counts as opening.
    ::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    // Mouse notes of the icon that waited are dropped with the right clicks: the others do nothing anyway.
    while (::PeekMessageA(&msg, Wnd, WM_TRAYNOTIFY, WM_TRAYNOTIFY, PM_REMOVE)) {
    }
    std::vector<MSG> commands;
    while (::PeekMessageA(&msg, Wnd, WM_COMMAND, WM_COMMAND, PM_REMOVE)) {
        if (LOWORD(msg.wParam) < IDM_WEB_BASE) commands.push_back(msg);
    }
    // The other commands are handled as usual, after whatever else waits.
    for (const MSG& command : commands) ::PostMessageA(Wnd, command.message, command.wParam, command.lParam);
}

void TPlandrel::RunDeferred() {
    if (ModalWait != TModalWait::None || WindowDestroyed) return;
    if (CloseDeferred) {
        CloseDeferred = UnloadDeferred = false;
        ::DestroyWindow(Wnd);
    } else if (UnloadDeferred) {
        UnloadDeferred = false;
        AskUnload();
    }
}

void TPlandrel::WMCommand(TMessage& message) {
    message.Result = 0;
    const unsigned id = LOWORD(message.WParam);
    switch (id) {
        case IDM_LOAD:
            // The worker starts it: it alone knows of a moment that waits and of its own starts.
            if (Scheduler) Scheduler->LoadMainApp();
            return;
        case IDM_UNLOAD:
            if (ModalWait == TModalWait::None)
                AskUnload();
            else if (ModalWait != TModalWait::UnloadQuestion)
                UnloadDeferred = true;
            return;
        case IDM_SUSPEND:
            if (Scheduler) {
                Scheduler->SetState(Scheduler->State() ^ core::kStateSuspended);
                RefreshTray();
            }
            return;
        default:
            // A pick that arrives while another page opens, or during a menu or
            // the question, is dropped: the wait cursor says the program is busy.
            if (id < IDM_WEB_BASE || ModalWait != TModalWait::None) return;
            {
                ModalScope opening(*this, TModalWait::PageOpening);
                OpenLocalWeb(id - IDM_WEB_BASE);
                DropQueuedPicks();
            }
            RunDeferred();
            return;
    }
}

void TPlandrel::WMTrayNotify(TMessage& message) {
    message.Result = 0;
    if (message.LParam != WM_RBUTTONDOWN) {
        message.Result = ::DefWindowProcA(Wnd, WM_TRAYNOTIFY, message.WParam, message.LParam);
        return;
    }
    if (ModalWait != TModalWait::None) return;
    POINT cursor{};
    ::GetCursorPos(&cursor);
    UniqueHmenu menu(::LoadMenuA(::GetModuleHandleA(nullptr), kMenuName));
    if (!menu) return;
    const HMENU popup = ::GetSubMenu(menu.get(), 0);
    if (Scheduler) Tray = Scheduler->Snapshot();
    ::SetMenuDefaultItem(popup, IDM_LOAD, FALSE);
    UpdateMenuItems(popup);
    AddLastLaunchItem(popup);
    ::SetForegroundWindow(Wnd);
    {
        ModalScope open(*this, TModalWait::Menu);
        Platform().TrackPopupMenu(popup, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, Wnd, nullptr);
    }
    // Without this the menu does not close when the user clicks elsewhere.
    ::PostMessageA(Wnd, WM_NULL, 0, 0);
    RunDeferred();
}

void TPlandrel::WMRefreshTray(TMessage& message) {
    message.Result = 0;
    if (!Scheduler) return;
    TScheduler::THandOver handOver = Scheduler->TakeHandOver();
    Tray = std::move(handOver.Snapshot);
    UpdateIcon(OffsetForState(Tray.State));
    UpdateTooltip();
    for (const TTrayNotice& notice : handOver.Notices) ShowTrayNotice(notice);
}

void TPlandrel::ShowTrayNotice(const TTrayNotice& notice) {
    switch (notice.Kind) {
        case TTrayNotice::TKind::LaunchFailed: ShowLaunchFailure(MainAppPath(), notice.WinExecResult); return;
        case TTrayNotice::TKind::LaunchedLate:
            if (LateToldFor == notice.Launch.planned) return;
            LateToldFor = notice.Launch.planned;
            ShowNotice(core::kLateLaunchTitle, core::LateLaunchText(notice.Launch, UserLocaleNames()), NIIF_INFO);
            return;
        case TTrayNotice::TKind::MayNotWake:
            ShowNotice(core::kWakeWarningTitle, core::WakeWarningText(notice.Moment, UserLocaleNames()),
                       NIIF_WARNING);
            return;
    }
}

void TPlandrel::WMTaskbarCreated(TMessage& message) {
    message.Result = 0;
    if (!Scheduler) return;
    // Also sent when the display's DPI changes (Windows 10): the icon is then
    // loaded afresh at the new size, and SetTrayIcon finds it still there.
    IconOffset = -1;
    Tray = Scheduler->Snapshot();
    SetTrayIcon(OffsetForState(Tray.State));
}

void TPlandrel::WMDpiChanged(TMessage& message) {
    message.Result = 0;
    ReloadTrayIcon();
}

void TPlandrel::WMDisplayChange(TMessage& message) {
    message.Result = 0;
    ReloadTrayIcon();
}

void TPlandrel::WMTimeChange(TMessage& message) {
    message.Result = 0;
    // A timer set in UTC keeps its instant when the zone changes under a local moment.
    if (Scheduler) Scheduler->TimeChanged();
}

void TPlandrel::WMSettingChange(TMessage& message) {
    // The user's date format or names changed: the tooltip is written with them.
    const char* section = reinterpret_cast<const char*>(message.LParam);
    if (section && std::strcmp(section, "intl") == 0) {
        ReloadUserLocaleNames();
        UpdateTooltip();
    }
    DefaultHandler(message);
}

void TPlandrel::WMTimer(TMessage& message) {
    message.Result = 0;
    if (message.WParam == kNoticeTimer) ShowPendingNotices();
    if (message.WParam == kIconTimer) RefreshTray();
}

// ---- The tray ---------------------------------------------------------------
//
// The shell is only ever called from the window's thread. The worker posts
// WM_REFRESHTRAY when it has a new snapshot or notices, at most one until the
// window has taken them; a steady state does not wake the window's thread at
// all. IconOffset and LastTip describe the last record sent. Once WMDestroy
// has detached the callback and the window is gone, no refresh can run.

void TPlandrel::RefreshTray() {
    if (!Scheduler) return;
    Tray = Scheduler->Snapshot();
    UpdateIcon(OffsetForState(Tray.State));
    UpdateTooltip();
}

void TPlandrel::UpdateIcon(int offset) {
    if (offset != IconOffset) SetTrayIcon(offset);
}

NOTIFYICONDATAA TPlandrel::NewTrayRecord() const {
    NOTIFYICONDATAA record{};
    // The first version of the record; its size differs between 32 and 64 bits.
    record.cbSize = NOTIFYICONDATAA_V1_SIZE;
    record.hWnd = Wnd;
    record.uID = kTrayIconId;
    return record;
}

namespace {
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
}  // namespace

// An elevated process gets the shell's message only when it lets it through (UIPI).
void TPlandrel::AllowTaskbarCreated() {
    // From Windows 7 on.
    static const auto changeFilter =
        User32Function<BOOL(WINAPI*)(HWND, UINT, DWORD, PCHANGEFILTERSTRUCT)>("ChangeWindowMessageFilterEx");
    if (changeFilter && TaskbarCreatedMsg != 0) changeFilter(Wnd, TaskbarCreatedMsg, MSGFLT_ALLOW, nullptr);
}

void TPlandrel::SetTrayIcon(int offset) {
    NOTIFYICONDATAA record = NewTrayRecord();
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = WM_TRAYNOTIFY;
    const int size = SmallIconSize(Wnd);
    UniqueHicon icon(static_cast<HICON>(::LoadImageA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IconBase + offset),
                                                     IMAGE_ICON, size, size, LR_DEFAULTCOLOR)));
    record.hIcon = icon.get();
    LastTip = TooltipText();
    CopyTip(record, LastTip);
    bool shown = Platform().ShellNotifyIcon(IconOffset == -1 ? NIM_ADD : NIM_MODIFY, &record) != FALSE;
    if (!shown && IconOffset == -1) {
        // An add fails while the taskbar is still starting, but also when it timed
        // out yet took effect, or when the icon is there already: the modification
        // tells which. Left at -1, the next refresh tries again.
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

void TPlandrel::ReloadTrayIcon() {
    if (IconOffset != -1) SetTrayIcon(IconOffset);
}

void TPlandrel::UpdateTooltip() {
    if (IconOffset == -1) return;  // not added yet: the next add carries the text
    std::string text = TooltipText();
    if (text == LastTip) return;
    LastTip = std::move(text);
    NOTIFYICONDATAA record = NewTrayRecord();
    record.uFlags = NIF_TIP;
    CopyTip(record, LastTip);
    Platform().ShellNotifyIcon(NIM_MODIFY, &record);
}

void TPlandrel::RemoveTrayIcon() {
    NOTIFYICONDATAA record = NewTrayRecord();
    Platform().ShellNotifyIcon(NIM_DELETE, &record);
}

void TPlandrel::ShowLaunchFailure(const std::string& path, UINT winExecResult) {
    // 11 is the one result whose words depend on the file: only its bytes prove that it is no program.
    const std::optional<std::string> head =
        winExecResult == ERROR_BAD_FORMAT ? ReadFileHead(path, core::kProgramHeadBytes) : std::nullopt;
    const bool notAProgram = head && core::HeadShowsNoProgram(*head);
    ShowNotice(core::kLaunchFailureTitle, core::LaunchFailureText(path, winExecResult, notAProgram), NIIF_WARNING);
}

void TPlandrel::ShowNotice(const std::string& title, const std::string& text, DWORD flags) {
    PendingNotices.push_back({core::CutText(title, sizeof(NOTIFYICONDATAA::szInfoTitle) - 1, ::IsDBCSLeadByte),
                              core::CutText(text, core::kMaxInfoChars, ::IsDBCSLeadByte), flags,
                              Platform().GetTickCount64()});
    if (PendingNotices.size() > kMostPendingNotices) PendingNotices.pop_front();
    ShowPendingNotices();
}

void TPlandrel::ShowPendingNotices() {
    // The shell call lets sent messages in; one that shows notices itself would
    // hand the shell the one in flight a second time.
    if (SendingNotice) return;
    SendingNotice = true;
    const ULONGLONG now = Platform().GetTickCount64();
    while (!PendingNotices.empty()) {
        const TNotice& notice = PendingNotices.front();
        if (now - notice.since > kNoticeLifetimeMs) {
            PendingNotices.pop_front();  // it would tell of something long past
            continue;
        }
        if (IconOffset == -1) break;  // the icon's add brings it
        NOTIFYICONDATAA record = NewTrayRecord();
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
            const bool timedOut =
                ::GetLastError() == ERROR_TIMEOUT || Platform().GetTickCount64() - before >= kShellTimeoutMs;
            if (!timedOut) break;
        }
        PendingNotices.pop_front();
    }
    SendingNotice = false;
    if (PendingNotices.empty()) {
        ::KillTimer(Wnd, kNoticeTimer);
    } else {
        ::SetTimer(Wnd, kNoticeTimer, kNoticeRetryMs, nullptr);
    }
}

std::string TPlandrel::TooltipText() const {
    return core::TooltipText(Tray.State, core::FormatLaunchMoment(Tray.StartupDate, UserLocaleNames()),
                             Tray.WaitingForNetwork);
}

void TPlandrel::UpdateMenuItems(HMENU popup) {
    const int webs = FillWebsMenu(::GetSubMenu(popup, 1));
    ::EnableMenuItem(popup, 1, MF_BYPOSITION | (webs > 0 ? MF_ENABLED : MF_GRAYED));
    ::EnableMenuItem(popup, IDM_LOAD, MainAppNotRunning() ? MF_ENABLED : (MF_GRAYED | MF_DISABLED));
    const bool suspended = Tray.State & core::kStateSuspended;
    ::CheckMenuItem(popup, IDM_SUSPEND, suspended ? MF_CHECKED : MF_UNCHECKED);
}

void TPlandrel::AddLastLaunchItem(HMENU popup) {
    const std::optional<core::LastLaunch>& launch = Tray.LastLaunch;
    if (!launch) return;
    const std::string text = core::LastLaunchMenuText(*launch, UserLocaleNames());
    ::InsertMenuA(popup, 0, MF_BYPOSITION | MF_STRING | MF_GRAYED, 0, text.c_str());
    ::InsertMenuA(popup, 1, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
}

// ---- The local webs -----------------------------------------------------------

int TPlandrel::FillWebsMenu(HMENU submenu) { return vrln::FillWebsMenu(submenu, Webs); }

void TPlandrel::OpenLocalWeb(std::uint32_t index) {
    if (Browser) vrln::OpenLocalWeb(Webs, index, *Browser);
}

}  // namespace vrln
