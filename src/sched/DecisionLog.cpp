#include "sched/DecisionLog.h"

#include "core/LogLines.h"
#include "win/Handles.h"

#include <windows.h>
#include <shlobj.h>

#include <memory>
#include <utility>

namespace vrln {

namespace {

// Notepad reads a file that begins with this as UTF-8 whatever the machine's
// code page. The program's texts are ANSI in the user's code page, which a
// file of its own would not say: support reading it on a machine of another
// language would see a Japanese or Greek path as garbage.
constexpr char kUtf8Bom[] = "\xEF\xBB\xBF";

// Empty when the text cannot be converted; a line never is.
std::string AnsiToUtf8(std::string_view ansi) {
    const int ansiChars = static_cast<int>(ansi.size());
    const int wideChars = ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), ansiChars, nullptr, 0);
    if (wideChars <= 0) return {};
    // Not std::wstring: that brings the whole wide string class into the shipped program (35 KiB).
    const std::unique_ptr<wchar_t[]> wide(new wchar_t[static_cast<std::size_t>(wideChars)]);
    ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), ansiChars, wide.get(), wideChars);
    const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, wide.get(), wideChars, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string utf8(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.get(), wideChars, &utf8[0], bytes, nullptr, nullptr);
    return utf8;
}

// Reading, writing and deleting are all shared: the file is ours only for one
// line, and an editor or a viewer that has it open must not lose a line to us,
// nor we one to it.
UniqueFile OpenForAppend(const std::string& path, bool& created) {
    UniqueFile file(::CreateFileA(path.c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    created = file.valid() && ::GetLastError() != ERROR_ALREADY_EXISTS;
    return file;
}

bool SizeOf(const UniqueFile& file, std::uint64_t& size) {
    LARGE_INTEGER got{};
    if (!::GetFileSizeEx(file.get(), &got) || got.QuadPart < 0) return false;
    size = static_cast<std::uint64_t>(got.QuadPart);
    return true;
}

// Writes the bytes at the end; a short write (a full disk) is taken back, so
// that the next line does not begin in the middle of this one.
bool AppendBytes(const UniqueFile& file, std::uint64_t size, const std::string& bytes) {
    LARGE_INTEGER end{};
    end.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN)) return false;
    DWORD written = 0;
    if (::WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
        written == bytes.size())
        return true;
    if (::SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN)) ::SetEndOfFile(file.get());
    return false;
}

struct SidFreer {
    void operator()(void* sid) const noexcept { ::FreeSid(sid); }
};

}  // namespace

std::string DefaultLogFolder() {
    char folder[MAX_PATH] = {};
    if (FAILED(::SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder))) return {};
    return std::string(folder) + "\\Vorlane\\";
}

TLogLine StampedLogLine(std::string_view eventText) {
    // Local time and offset from one reading of the clock, so that the two
    // agree also in the second in which daylight saving time begins or ends.
    SYSTEMTIME utc{}, local{};
    ::GetSystemTime(&utc);
    FILETIME utcFile{}, localFile{};
    int biasMinutes = 0;
    if (::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) && ::SystemTimeToFileTime(&utc, &utcFile) &&
        ::SystemTimeToFileTime(&local, &localFile)) {
        const auto ticks = [](const FILETIME& t) {
            return static_cast<long long>((static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
        };
        constexpr long long kTicksPerMinute = 600000000;
        biasMinutes = static_cast<int>((ticks(utcFile) - ticks(localFile)) / kTicksPerMinute);
    } else {
        local = utc;  // shown as UTC, and says so
    }
    core::DateTimeParts parts;
    parts.year = local.wYear, parts.month = local.wMonth, parts.day = local.wDay;
    parts.hour = local.wHour, parts.minute = local.wMinute, parts.second = local.wSecond;
    return TLogLine(core::LogLine(core::LogTimeStamp(parts, biasMinutes), eventText, ::IsDBCSLeadByte));
}

bool RunsAsStandardUser() {
    HANDLE opened = nullptr;
    if (::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &opened)) {
        const UniqueHandle token(opened);
        TOKEN_ELEVATION elevation{};
        DWORD size = 0;
        if (::GetTokenInformation(token.get(), TokenElevation, &elevation, sizeof elevation, &size) &&
            elevation.TokenIsElevated)
            return false;
    }
    // Where UAC is off an administrator's token is not called elevated, yet has the group enabled.
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID made = nullptr;
    if (!::AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                    0, 0, &made))
        return true;
    const std::unique_ptr<void, SidFreer> administrators(made);
    BOOL member = FALSE;
    return !(::CheckTokenMembership(nullptr, administrators.get(), &member) && member);
}

TDecisionLog::TDecisionLog(std::string folder) : Folder_(std::move(folder)) {
    if (!Folder_.empty() && Folder_.back() != '\\') Folder_ += '\\';
}

bool TDecisionLog::Write(std::string_view eventText) noexcept {
    try {
        return WriteLine(StampedLogLine(eventText));
    } catch (...) {
        return false;  // no memory for the line: the worker goes on without it
    }
}

bool TDecisionLog::WriteLine(const TLogLine& line) noexcept {
    try {
        if (Folder_.empty()) return false;
        const std::string utf8 = AnsiToUtf8(line.Text());
        return !utf8.empty() && Append(utf8);
    } catch (...) {
        return false;
    }
}

bool TDecisionLog::Append(const std::string& utf8Line) {
    const std::string path = Folder_ + kFileName;
    bool created = false, madeFolder = false;
    UniqueFile file = OpenForAppend(path, created);
    if (!file && ::GetLastError() == ERROR_PATH_NOT_FOUND) {
        madeFolder = ::CreateDirectoryA(Folder_.c_str(), nullptr) != FALSE;
        if (madeFolder) file = OpenForAppend(path, created);
    }
    std::uint64_t size = 0;
    bool ready = file && SizeOf(file, size);
    if (ready && size > 0 && !core::LogLineFits(size, utf8Line.size())) {
        file.reset();
        // The full file becomes the older one; while it cannot be moved aside, lines are dropped.
        ready = ::MoveFileExA(path.c_str(), (Folder_ + kOlderFileName).c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE;
        if (ready) {
            file = OpenForAppend(path, created);
            ready = file && SizeOf(file, size);
        }
    }
    // A new file begins with the mark of its encoding.
    const std::string bytes = ready && size == 0 ? kUtf8Bom + utf8Line : utf8Line;
    const bool written = ready && core::LogLineFits(size, bytes.size()) && AppendBytes(file, size, bytes);
    if (!written) {
        // Nothing of a line that was dropped stays behind.
        file.reset();
        if (created) ::DeleteFileA(path.c_str());
        if (madeFolder) ::RemoveDirectoryA(Folder_.c_str());
    }
    return written;
}

void TLogQueue::Add(TLogLine line) noexcept {
    try {
        Stamped.push_back(std::move(line));
    } catch (...) {
    }
}

void TLogQueue::Flush(TDecisionLog& log) noexcept {
    for (const TLogLine& line : Stamped) log.WriteLine(line);
    for (const std::string& text : Texts) log.Write(text);
    Stamped.clear();
    Texts.clear();
}

}  // namespace vrln
