// RAII owners for the platform's handles. Each owner knows which value means
// "no handle" for its kind: most kernel handles use null, but CreateFileA and
// FindFirstFileA report failure as INVALID_HANDLE_VALUE, so the two are kept apart.
#pragma once

#include <windows.h>
#include <ddeml.h>
#include <objbase.h>

#include <cstdint>
#include <cstring>
#include <utility>

namespace vrln {

// Which value of a handle type means "no handle".
struct NullIsInvalid {
    template <typename T>
    static T Value() noexcept { return T{}; }
};
struct MinusOneIsInvalid {
    template <typename T>
    static T Value() noexcept { return reinterpret_cast<T>(static_cast<std::intptr_t>(-1)); }
};

template <typename T, auto Close, typename InvalidPolicy = NullIsInvalid>
class UniqueAny {
    static T Invalid() noexcept { return InvalidPolicy::template Value<T>(); }

public:
    UniqueAny() noexcept = default;
    explicit UniqueAny(T value) noexcept : value_(value) {}
    UniqueAny(const UniqueAny&) = delete;
    UniqueAny& operator=(const UniqueAny&) = delete;
    UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
    UniqueAny& operator=(UniqueAny&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueAny() { reset(); }

    T get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Invalid(); }
    bool valid() const noexcept { return value_ != Invalid(); }

    T release() noexcept { return std::exchange(value_, Invalid()); }
    void reset() noexcept { reset(Invalid()); }
    void reset(T value) noexcept {
        T old = std::exchange(value_, value);
        if (old != Invalid()) Close(old);
    }
    // For out-parameters of creating calls: releases the old handle first.
    T* put() noexcept {
        reset();
        return &value_;
    }

private:
    T value_ = Invalid();
};

namespace detail {
inline void CloseKernelHandle(HANDLE h) noexcept { ::CloseHandle(h); }
inline void CloseFind(HANDLE h) noexcept { ::FindClose(h); }
inline void CloseChangeNotification(HANDLE h) noexcept { ::FindCloseChangeNotification(h); }
inline void CloseKey(HKEY k) noexcept { ::RegCloseKey(k); }
inline void CloseMenu(HMENU m) noexcept { ::DestroyMenu(m); }
inline void CloseIcon(HICON i) noexcept { ::DestroyIcon(i); }
inline void DestroyOwnedWindow(HWND w) noexcept { ::DestroyWindow(w); }
inline void UnloadModule(HMODULE m) noexcept { ::FreeLibrary(m); }
template <typename T>
void ReleaseCom(T* object) noexcept {
    object->Release();
}
}  // namespace detail

// Mutexes, events, semaphores, threads, processes: null when absent.
using UniqueHandle = UniqueAny<HANDLE, detail::CloseKernelHandle>;
// Files from CreateFileA: INVALID_HANDLE_VALUE when absent.
using UniqueFile = UniqueAny<HANDLE, detail::CloseKernelHandle, MinusOneIsInvalid>;
// Searches from FindFirstFileA: INVALID_HANDLE_VALUE when absent.
using UniqueFind = UniqueAny<HANDLE, detail::CloseFind, MinusOneIsInvalid>;
// Watches from FindFirstChangeNotificationA: INVALID_HANDLE_VALUE when absent.
using UniqueChangeNotification = UniqueAny<HANDLE, detail::CloseChangeNotification, MinusOneIsInvalid>;
using UniqueHkey = UniqueAny<HKEY, detail::CloseKey>;
using UniqueHmenu = UniqueAny<HMENU, detail::CloseMenu>;
using UniqueHicon = UniqueAny<HICON, detail::CloseIcon>;
using UniqueHwnd = UniqueAny<HWND, detail::DestroyOwnedWindow>;
// A COM interface pointer: released when its owner goes.
template <typename T>
using UniqueCom = UniqueAny<T*, &detail::ReleaseCom<T>>;
// A loaded DLL (one count of it): freed when its owner goes.
using UniqueModule = UniqueAny<HMODULE, detail::UnloadModule>;

// A DLL of the system's folder, loaded for as long as the owner lives (or its
// count raised, when it is loaded already). By its full path: a bare name is
// looked for in the program's folder first, where anything may lie.
inline UniqueModule LoadSystemModule(const char* fileName) noexcept {
    char path[MAX_PATH];
    const UINT length = ::GetSystemDirectoryA(path, MAX_PATH);
    const std::size_t nameLength = std::strlen(fileName);
    if (length == 0 || length + 1 + nameLength >= MAX_PATH) return {};
    path[length] = '\\';
    std::memcpy(path + length + 1, fileName, nameLength + 1);
    return UniqueModule(::LoadLibraryA(path));
}

// The calling thread's COM apartment, for as long as the owner lives, and
// COM's DLL loaded for that time (win/Platform.cpp).
class ComApartment {
public:
    explicit ComApartment(DWORD model) noexcept;
    ~ComApartment();
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;

private:
    UniqueModule ole32_;  // declared first: freed after the apartment is left
    bool entered_;
};

// A DDE string handle belongs to one DDEML instance, so its owner keeps both.
class UniqueHsz {
public:
    UniqueHsz() noexcept = default;
    UniqueHsz(DWORD instance, HSZ hsz) noexcept : instance_(instance), hsz_(hsz) {}
    UniqueHsz(const UniqueHsz&) = delete;
    UniqueHsz& operator=(const UniqueHsz&) = delete;
    UniqueHsz(UniqueHsz&& other) noexcept
        : instance_(other.instance_), hsz_(std::exchange(other.hsz_, nullptr)) {}
    UniqueHsz& operator=(UniqueHsz&& other) noexcept {
        if (this != &other) {
            reset();
            instance_ = other.instance_;
            hsz_ = std::exchange(other.hsz_, nullptr);
        }
        return *this;
    }
    ~UniqueHsz() { reset(); }

    HSZ get() const noexcept { return hsz_; }
    explicit operator bool() const noexcept { return hsz_ != nullptr; }
    void reset() noexcept {
        if (hsz_) ::DdeFreeStringHandle(instance_, std::exchange(hsz_, nullptr));
    }

private:
    DWORD instance_ = 0;
    HSZ hsz_ = nullptr;
};

}  // namespace vrln
