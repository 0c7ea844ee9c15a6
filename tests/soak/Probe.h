// What a separate process can see of a running VrlnSchd.exe: whether its
// window answers, its tray menu, and the figures of its resources.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace vrln::soak {

// True when the window answers a sent message within timeoutMs.
bool Responds(HWND wnd, DWORD timeoutMs);

// The popup menu window of the process while a menu is shown, else null.
HWND VisibleMenuOf(DWORD processId);
// Asks the program to open its tray menu (as a right click on the icon does)
// and waits up to timeoutMs for the menu to show.
bool OpenTrayMenu(HWND wnd, DWORD processId, DWORD timeoutMs);
// Closes a shown tray menu without choosing an item and waits up to timeoutMs.
bool CloseTrayMenu(HWND wnd, DWORD processId, DWORD timeoutMs);
// Waits up to timeoutMs until the program is idle, and closes the menu that
// shows it: the menu opens only when no modal wait (a page opening, the unload
// question, another menu) runs. An answered sent message proves no such thing.
bool WaitUntilIdle(HWND wnd, DWORD processId, DWORD timeoutMs);

// One sample of a process's resources. A figure the platform does not report
// is -1; `*Source` says where each figure came from.
struct ResourceSample {
    long long handles = -1;
    long long privateBytes = -1;
    long long userObjects = -1;
    long long gdiObjects = -1;
    long long windows = -1;
    const char* handlesSource = "";
    const char* privateBytesSource = "";
};
ResourceSample SampleResources(HANDLE process, DWORD processId);
// The number of handles that a process holds, from the system's handle list; -1 when unknown.
long long CountHandles(DWORD processId);

// Milliseconds on a monotonic clock, with sub-millisecond resolution.
double NowMs();

}  // namespace vrln::soak
