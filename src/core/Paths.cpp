#include "core/Paths.h"

namespace vrln::core {

namespace {
std::size_t AfterLastSeparator(std::string_view path) {
    const std::size_t pos = path.find_last_of("\\:");
    return pos == std::string_view::npos ? 0 : pos + 1;
}
}  // namespace

std::string DirectoryPart(std::string_view path) {
    return std::string(path.substr(0, AfterLastSeparator(path)));
}

std::string FileNamePart(std::string_view path) {
    return std::string(path.substr(AfterLastSeparator(path)));
}

std::string InstanceMutexBaseName(std::string_view programName) {
    std::string name = "APPLICATION-";
    name += programName;
    for (char& c : name) {
        if (c == '\\') c = '_';
    }
    return name;
}

std::string HomePageOf(std::string_view webFileLine) {
    return DirectoryPart(webFileLine) + "_home.htm";
}

}  // namespace vrln::core
