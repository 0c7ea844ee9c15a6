// The main block: one copy per machine, the application object, its loop.
#include "app/VrlnSchdMain.h"

#include <memory>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    if (!vrln::ClaimSingleInstance()) {
        vrln::ReleaseSingleInstance();
        return 0;
    }
    int exitCode = 0;
    try {
        auto plandrel = std::make_unique<vrln::TPlandrel>();
        vrln::Plandrel = plandrel.get();
        plandrel->Run();
        plandrel.reset();
        vrln::Plandrel = nullptr;
    } catch (...) {
        // Only the DDE library failing to start can get here; end without a window.
        exitCode = 1;
    }
    vrln::ReleaseSingleInstance();
    return exitCode;
}
