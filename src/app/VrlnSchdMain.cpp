#include "app/VrlnSchdMain.h"

#include "app/Autostart.h"
#include "app/Browser.h"
#include "app/LocalWebs.h"
#include "app/res/resource.h"
#include "core/DateTime.h"
#include "core/LastLaunch.h"
#include "core/LogLines.h"
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

TPlandrel::TPlandrel() : Browser(std::make_unique<TBrowser>()) {
    RegisterAutostart(kAutostartValue, OwnExePath());
}

TPlandrel::~TPlandrel() {
    // Normally WM_DESTROY has run already; an object freed with its window still
    // alive stops the scheduler and removes the icon the same way.
    if (Wnd && ::IsWindow(Wnd)) ::DestroyWindow(Wnd);
    Browser.reset();
    Webs_.clear();
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
        case WM_WEBSREAD: WMWebsRead(message); return;
        case WM_DPICHANGED: WMDpiChanged(message); return;
        case WM_DISPLAYCHANGE: WMDisplayChange(message); return;
        case WM_TIMECHANGE: WMTimeChange(message); return;
        case WM_SETTINGCHANGE: WMSettingChange(message); return;
        case WM_TIMER: WMTimer(message); return;
        case WM_QUERYENDSESSION: WMQueryEndSession(message); return;
        case WM_ENDSESSION: WMEndSession(message); return;
        default: break;
    }
    // The shell broadcasts this registered message when the taskbar is restarted.
    if (TTrayIcon::TaskbarCreatedMessage() != 0 && message.Msg == TTrayIcon::TaskbarCreatedMessage()) {
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
    Scheduler_ = std::make_unique<TScheduler>(false);
    // Shell calls belong to the window's thread: the worker posts that it has something new.
    const HWND wnd = Wnd;
    Scheduler_->AttachWakeUp([wnd](TScheduler&) { return ::PostMessageA(wnd, WM_REFRESHTRAY, 0, 0) != FALSE; });
    Scheduler_->SetPriority(THREAD_PRIORITY_LOWEST);
    Icon = std::make_unique<TTrayIcon>(Wnd, Scheduler_->Snapshot());
    WebsReader = std::make_unique<TWebsReader>(Wnd);
    Icon->OnNoticeDone = [this](const std::string& title, bool shown) {
        LogDecision(shown ? core::NoticeShownLine(title) : core::NoticeDroppedLine(title));
    };
}

void TPlandrel::LogDecision(const std::string& text) {
    // The worker writes the log; the line keeps the time of the window's decision.
    if (Scheduler_) Scheduler_->HandOverLogLine(StampedLogLine(text));
}

void TPlandrel::WMDestroy(TMessage& message) {
    message.Result = 0;
    StopScheduler();
    WebsReader.reset();
    WindowDestroyed = true;
    ::PostQuitMessage(0);
}

void TPlandrel::WMQueryEndSession(TMessage& message) {
    // Nothing here keeps the session: what waits to be stored is stored at its end.
    message.Result = TRUE;
}

void TPlandrel::WMEndSession(TMessage& message) {
    message.Result = 0;
    if (!message.WParam) return;  // the end was called off
    LogDecision(core::SessionEndLine(static_cast<std::uint32_t>(message.LParam)));
    // After this returns the process may be ended without WM_DESTROY: the
    // worker stores what waits (toggles, the last launch) before it goes.
    StopScheduler();
    // The Restart Manager closes programs one by one; this one ends by itself.
    if (message.LParam & ENDSESSION_CLOSEAPP) {
        if (ModalWait == TModalWait::None) {
            ::DestroyWindow(Wnd);
        } else {
            CloseDeferred = true;
            if (ModalWait == TModalWait::Menu) ::EndMenu();
        }
    }
}

void TPlandrel::StopScheduler() {
    if (!Scheduler_) return;
    // After the detach no refresh is asked for; one already posted finds no scheduler.
    Scheduler_->DetachWakeUp();
    Icon.reset();
    Scheduler_.reset();
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
            if (Scheduler_) Scheduler_->LoadMainApp();
            return;
        case IDM_UNLOAD:
            if (ModalWait == TModalWait::None)
                AskUnload();
            else if (ModalWait != TModalWait::UnloadQuestion)
                UnloadDeferred = true;
            return;
        case IDM_SUSPEND:
            if (Scheduler_) {
                // Turned over as the hand-over shows it: a flag the main application
                // set since the menu was filled is left as it is.
                Scheduler_->ToggleState(core::kStateSuspended);
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
    RefreshTray();
}

void TPlandrel::WMWebsRead(TMessage& message) {
    message.Result = 0;
    if (!WebsReader) return;
    if (std::shared_ptr<const TWebsList> handed = WebsReader->Take()) KnownWebs = std::move(handed);
}

void TPlandrel::ShowTrayNotice(const TTrayNotice& notice) {
    switch (notice.Kind) {
        case TTrayNotice::TKind::LaunchFailed: ShowLaunchFailure(MainAppPath(), notice.WinExecResult); return;
        case TTrayNotice::TKind::LaunchedLate:
            if (LateToldFor == notice.Launch.planned) return;
            LateToldFor = notice.Launch.planned;
            Notify(core::kLateLaunchTitle, core::LateLaunchText(notice.Launch, UserLocaleNames()), NIIF_INFO);
            return;
        case TTrayNotice::TKind::MayNotWake:
            Notify(core::kWakeWarningTitle, core::WakeWarningText(notice.Moment, UserLocaleNames()), NIIF_WARNING);
            return;
    }
}

void TPlandrel::WMTaskbarCreated(TMessage& message) {
    message.Result = 0;
    if (Icon) Icon->TaskbarCreated();
}

void TPlandrel::WMDpiChanged(TMessage& message) {
    message.Result = 0;
    if (Icon) Icon->DisplayChanged();
}

void TPlandrel::WMDisplayChange(TMessage& message) {
    message.Result = 0;
    if (Icon) Icon->DisplayChanged();
}

void TPlandrel::WMTimeChange(TMessage& message) {
    message.Result = 0;
    // A timer set in UTC keeps its instant when the zone changes under a local moment.
    if (Scheduler_) Scheduler_->TimeChanged();
}

void TPlandrel::WMSettingChange(TMessage& message) {
    // The user's date format or names changed: the tooltip is written with them.
    const char* section = reinterpret_cast<const char*>(message.LParam);
    if (section && std::strcmp(section, "intl") == 0) {
        ReloadUserLocaleNames();
        if (Icon) Icon->TooltipWordsChanged();
    }
    // The same message as WM_WININICHANGE: win.ini's [VORLANE] holds the work path.
    if ((!section || ::lstrcmpiA(section, "VORLANE") == 0) && WebsReader) WebsReader->ReadAgain();
    DefaultHandler(message);
}

void TPlandrel::WMTimer(TMessage& message) {
    message.Result = 0;
    if (!Icon || !Icon->Timer(message.WParam)) DefaultHandler(message);
}

// ---- The tray ---------------------------------------------------------------
//
// The shell is only ever called from the window's thread. The worker posts
// WM_REFRESHTRAY when it has a new snapshot or notices, at most one until the
// window has taken them; a steady state does not wake the window's thread at
// all. Once WMDestroy has detached the callback and the window is gone, no
// refresh can run.

void TPlandrel::RefreshTray() {
    if (!Scheduler_ || !Icon) return;
    // Whatever refreshes takes what waits, so that nothing waits on a post that was lost.
    const TScheduler::THandOver handOver = Scheduler_->TakeHandOver();
    Icon->Show(handOver.Snapshot);
    for (const TTrayNotice& notice : handOver.Notices) ShowTrayNotice(notice);
}

void TPlandrel::ShowLaunchFailure(const std::string& path, UINT winExecResult) {
    // 11 is the one result whose words depend on the file: only its bytes prove that it is no program.
    const std::optional<std::string> head =
        winExecResult == ERROR_BAD_FORMAT ? ReadFileHead(path, core::kProgramHeadBytes) : std::nullopt;
    const bool notAProgram = head && core::HeadShowsNoProgram(*head);
    Notify(core::kLaunchFailureTitle, core::LaunchFailureText(path, winExecResult, notAProgram), NIIF_WARNING);
}

void TPlandrel::Notify(const std::string& title, const std::string& text, DWORD flags) {
    if (Icon) Icon->Notify(title, text, flags);
}

void TPlandrel::UpdateMenuItems(HMENU popup) {
    const int webs = FillWebsMenu(::GetSubMenu(popup, 1));
    ::EnableMenuItem(popup, 1, MF_BYPOSITION | (webs > 0 ? MF_ENABLED : MF_GRAYED));
    ::EnableMenuItem(popup, IDM_LOAD, MainAppNotRunning() ? MF_ENABLED : (MF_GRAYED | MF_DISABLED));
    const bool suspended = Scheduler_ && (Scheduler_->State() & core::kStateSuspended);
    ::CheckMenuItem(popup, IDM_SUSPEND, suspended ? MF_CHECKED : MF_UNCHECKED);
}

void TPlandrel::AddLastLaunchItem(HMENU popup) {
    const std::optional<core::LastLaunch> launch = Scheduler_ ? Scheduler_->LastLaunch() : std::nullopt;
    if (!launch) return;
    const std::string text = core::LastLaunchMenuText(*launch, UserLocaleNames());
    ::InsertMenuA(popup, 0, MF_BYPOSITION | MF_STRING | MF_GRAYED, 0, text.c_str());
    ::InsertMenuA(popup, 1, MF_BYPOSITION | MF_SEPARATOR, 0, nullptr);
}

// ---- The local webs -----------------------------------------------------------

int TPlandrel::FillWebsMenu(HMENU submenu) {
    if (!WebsReader) return vrln::FillWebsMenu(submenu, Webs_);
    // Whatever opens the menu takes what waits, so that nothing waits on a post that was lost.
    if (std::shared_ptr<const TWebsList> handed = WebsReader->Take()) KnownWebs = std::move(handed);
    const TKnownWebsUse use =
        KnownWebs ? vrln::FillWebsMenuFrom(*KnownWebs, submenu, Webs_) : TKnownWebsUse::Outdated;
    if (use == TKnownWebsUse::Shown) return static_cast<int>(Webs_.size());
    // Before the first list, or with one that is outdated, the menu reads as
    // the read-ahead does, and never waits for it.
    const int count = use == TKnownWebsUse::Outdated ? vrln::FillWebsMenu(submenu, Webs_)
                                                      : static_cast<int>(Webs_.size());
    // Asked only now, since its read of webs.dat would keep the one above out.
    if (KnownWebs) WebsReader->ReadAgain();
    return count;
}

void TPlandrel::OpenLocalWeb(std::uint32_t index) {
    if (Browser) vrln::OpenLocalWeb(Webs_, index, *Browser);
}

}  // namespace vrln
