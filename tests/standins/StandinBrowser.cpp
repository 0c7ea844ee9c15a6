// Stands in for a web browser in tests. It serves the DDE service named after
// its own file name (upper-cased, cut before the first '.': browse.exe serves
// BROWSE) on the topic "WWW_OpenURL", and appends what it saw to its log
// (STANDIN_BROWSER_LOG, else its own path + ".log"), one line each:
//   start <its command line>
//   request <the item of a request>
// STANDIN_BROWSER_MODE chooses how it answers:
//   normal      the reply "ok", a NUL, then "ignored" (10 bytes)
//   refuse      refuses every connection
//   no          accepts the conversation but refuses every request
//   late        the normal reply, but only after STANDIN_BROWSER_REPLY_MS
//               milliseconds (default 12000: past the client's time-out)
//   nonul       the reply "nonul-reply" without a NUL (11 bytes)
//   disconnect  ends the conversation in the middle of the request
// STANDIN_BROWSER_POST, a list "MSG:WPARAM[:LPARAM],...", goes to the window
// of class "TPlandrel" at every request, before the reply: a user's pick,
// click or close that arrives while the request waits. Each entry is posted,
// or, when it starts with '!', sent without waiting for the answer
// (SendNotifyMessageA), as the shell hands on the icon's clicks.
// It ends after STANDIN_BROWSER_LIFETIME seconds (default 60) or on WM_CLOSE
// to its hidden window of class "VrlnStandinBrowser".
#include <windows.h>
#include <ddeml.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

enum class Mode { Normal, Refuse, No, Late, NoNul, Disconnect };

constexpr const char* kWindowClass = "VrlnStandinBrowser";
constexpr const char* kTopic = "WWW_OpenURL";
constexpr UINT WM_STANDIN_DISCONNECT = WM_APP + 1;
constexpr UINT_PTR kLifetimeTimer = 1;
DWORD g_lateReplyMs = 12000;
std::string g_postDuringRequest;

Mode g_mode = Mode::Normal;
std::string g_logPath;
DWORD g_instance = 0;
HSZ g_service = nullptr;
HSZ g_topic = nullptr;
HWND g_window = nullptr;

std::string Environment(const char* name) {
    char buffer[1024];
    const DWORD n = ::GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return (n > 0 && n < sizeof buffer) ? std::string(buffer, n) : std::string();
}

std::string OwnPath() {
    char path[MAX_PATH] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, n);
}

std::string ServiceNameOf(const std::string& path) {
    std::string name = path.substr(path.find_last_of("\\:") + 1);
    name = name.substr(0, name.find('.'));
    for (char& c : name) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return name;
}

void AppendLog(const std::string& line) {
    const HANDLE file = ::CreateFileA(g_logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    const std::string text = line + "\n";
    DWORD written = 0;
    ::WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    ::CloseHandle(file);
}

HDDEDATA Reply(const char* bytes, DWORD size, HSZ item, UINT format) {
    return ::DdeCreateDataHandle(g_instance, reinterpret_cast<LPBYTE>(const_cast<char*>(bytes)), size, 0, item,
                                 format, 0);
}

void PostDuringRequest() {
    if (g_postDuringRequest.empty()) return;
    const HWND target = ::FindWindowA("TPlandrel", nullptr);
    for (std::size_t start = 0; start < g_postDuringRequest.size();) {
        std::size_t end = g_postDuringRequest.find(',', start);
        if (end == std::string::npos) end = g_postDuringRequest.size();
        const std::string one = g_postDuringRequest.substr(start, end - start);
        const bool send = !one.empty() && one[0] == '!';
        char* rest = nullptr;
        const unsigned long message = std::strtoul(one.c_str() + (send ? 1 : 0), &rest, 10);
        const unsigned long wParam = *rest == ':' ? std::strtoul(rest + 1, &rest, 10) : 0;
        const unsigned long lParam = *rest == ':' ? std::strtoul(rest + 1, &rest, 10) : 0;
        const BOOL done = target && (send ? ::SendNotifyMessageA(target, message, wParam, lParam)
                                          : ::PostMessageA(target, message, wParam, lParam));
        AppendLog(std::string(send ? "sent " : "posted ") + one + (done ? "" : " (failed)"));
        start = end + 1;
    }
}

bool Matches(HSZ asked, HSZ own) { return !asked || ::DdeCmpStringHandles(asked, own) == 0; }

HDDEDATA CALLBACK Callback(UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2, HDDEDATA, ULONG_PTR,
                           ULONG_PTR) {
    switch (type) {
    case XTYP_CONNECT:
        return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(g_mode != Mode::Refuse && Matches(hsz1, g_topic)));
    case XTYP_WILDCONNECT: {
        if (g_mode == Mode::Refuse || !Matches(hsz1, g_topic) || !Matches(hsz2, g_service)) return nullptr;
        HSZPAIR pairs[2] = {{g_service, g_topic}, {nullptr, nullptr}};
        return ::DdeCreateDataHandle(g_instance, reinterpret_cast<LPBYTE>(pairs), sizeof pairs, 0, nullptr,
                                     CF_PRIVATEFIRST, 0);
    }
    case XTYP_REQUEST: {
        char item[1024] = {};
        ::DdeQueryStringA(g_instance, hsz2, item, sizeof item, CP_WINANSI);
        AppendLog(std::string("request ") + item);
        PostDuringRequest();
        switch (g_mode) {
        case Mode::Late:
            ::Sleep(g_lateReplyMs);
            AppendLog("replied");
            return Reply("ok\0ignored", 10, hsz2, format);
        case Mode::NoNul:
            return Reply("nonul-reply", 11, hsz2, format);
        case Mode::No:
            return nullptr;
        case Mode::Disconnect:
            // The request stays pending while the conversation is ended.
            ::PostMessageA(g_window, WM_STANDIN_DISCONNECT, reinterpret_cast<WPARAM>(conv), 0);
            return CBR_BLOCK;
        default:
            return Reply("ok\0ignored", 10, hsz2, format);
        }
    }
    default:
        return nullptr;
    }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_STANDIN_DISCONNECT:
        // Wine's DDEML cannot end a conversation from the server side;
        // withdrawing the service ends its conversations instead.
        if (!::DdeDisconnect(reinterpret_cast<HCONV>(wParam))) {
            ::DdeNameService(g_instance, g_service, nullptr, DNS_UNREGISTER);
        }
        return 0;
    case WM_TIMER:
        if (wParam == kLifetimeTimer) ::DestroyWindow(window);
        return 0;
    case WM_CLOSE:
        ::DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        ::PostQuitMessage(0);
        return 0;
    default:
        return ::DefWindowProcA(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    const std::string ownPath = OwnPath();
    g_logPath = Environment("STANDIN_BROWSER_LOG");
    if (g_logPath.empty()) g_logPath = ownPath + ".log";
    const std::string mode = Environment("STANDIN_BROWSER_MODE");
    if (mode == "refuse") g_mode = Mode::Refuse;
    if (mode == "no") g_mode = Mode::No;
    if (mode == "late") g_mode = Mode::Late;
    if (mode == "nonul") g_mode = Mode::NoNul;
    if (mode == "disconnect") g_mode = Mode::Disconnect;
    const std::string replyText = Environment("STANDIN_BROWSER_REPLY_MS");
    if (!replyText.empty()) g_lateReplyMs = static_cast<DWORD>(std::strtoul(replyText.c_str(), nullptr, 10));
    g_postDuringRequest = Environment("STANDIN_BROWSER_POST");
    const std::string lifetimeText = Environment("STANDIN_BROWSER_LIFETIME");
    const UINT lifetimeSeconds = lifetimeText.empty() ? 60u : static_cast<UINT>(std::strtoul(lifetimeText.c_str(), nullptr, 10));

    AppendLog(std::string("start ") + ::GetCommandLineA());

    const std::string serviceName = ServiceNameOf(ownPath);
    if (::DdeInitializeA(&g_instance, Callback, APPCLASS_STANDARD | CBF_SKIP_REGISTRATIONS | CBF_SKIP_UNREGISTRATIONS,
                         0) != DMLERR_NO_ERROR) {
        return 3;
    }
    g_service = ::DdeCreateStringHandleA(g_instance, serviceName.c_str(), CP_WINANSI);
    g_topic = ::DdeCreateStringHandleA(g_instance, kTopic, CP_WINANSI);
    ::DdeNameService(g_instance, g_service, nullptr, DNS_REGISTER);

    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    ::RegisterClassA(&windowClass);
    g_window = ::CreateWindowExA(0, kWindowClass, serviceName.c_str(), WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                 instance, nullptr);
    if (!g_window) return 2;
    ::SetTimer(g_window, kLifetimeTimer, lifetimeSeconds * 1000u, nullptr);

    MSG message;
    while (::GetMessageA(&message, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }

    ::DdeNameService(g_instance, nullptr, nullptr, DNS_UNREGISTER);
    ::DdeFreeStringHandle(g_instance, g_service);
    ::DdeFreeStringHandle(g_instance, g_topic);
    ::DdeUninitialize(g_instance);
    return 0;
}
