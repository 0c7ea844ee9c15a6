#include "win/AnsiFiles.h"

#include "win/Handles.h"

namespace vrln {

bool FileExists(const std::string& path) {
    WIN32_FIND_DATAA found{};
    UniqueFind search(::FindFirstFileA(path.c_str(), &found));
    return search.valid() && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

std::optional<std::string> ReadFileHead(const std::string& path, std::size_t maxBytes) {
    UniqueFile file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    std::string head(maxBytes, '\0');
    std::size_t got = 0;
    while (got < head.size()) {
        DWORD read = 0;
        if (!::ReadFile(file.get(), &head[got], static_cast<DWORD>(head.size() - got), &read, nullptr))
            return std::nullopt;
        if (read == 0) break;
        got += read;
    }
    head.resize(got);
    return head;
}

}  // namespace vrln
