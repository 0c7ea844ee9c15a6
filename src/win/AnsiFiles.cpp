#include "win/AnsiFiles.h"

#include "win/Handles.h"

namespace vrln {

bool FileExists(const std::string& path) {
    WIN32_FIND_DATAA found{};
    UniqueFind search(::FindFirstFileA(path.c_str(), &found));
    return search.valid() && (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

}  // namespace vrln
