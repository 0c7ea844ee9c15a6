#include "core/Paths.h"

namespace vrln::core {

namespace {

// The last position of one of the separators, skipping the second byte of
// every double-byte character.
std::size_t LastSeparatorOf(std::string_view path, std::string_view separators, const LeadByteTest& isLeadByte) {
    std::size_t last = std::string_view::npos;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (isLeadByte && isLeadByte(c)) {
            ++i;
        } else if (separators.find(static_cast<char>(c)) != std::string_view::npos) {
            last = i;
        }
    }
    return last;
}

std::size_t AfterLastSeparator(std::string_view path, const LeadByteTest& isLeadByte) {
    const std::size_t pos = LastSeparatorOf(path, "\\:", isLeadByte);
    return pos == std::string_view::npos ? 0 : pos + 1;
}

}  // namespace

bool IsAbsolutePath(std::string_view path) {
    const auto separator = [&path](std::size_t i) { return path.size() > i && (path[i] == '\\' || path[i] == '/'); };
    const bool driveLetter = path.size() > 2 && ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'));
    return (driveLetter && path[1] == ':' && separator(2)) || (separator(0) && separator(1));
}

std::string DirectoryPart(std::string_view path, const LeadByteTest& isLeadByte) {
    return std::string(path.substr(0, AfterLastSeparator(path, isLeadByte)));
}

std::string FileNamePart(std::string_view path, const LeadByteTest& isLeadByte) {
    return std::string(path.substr(AfterLastSeparator(path, isLeadByte)));
}

std::size_t LastBackslashOf(std::string_view path, const LeadByteTest& isLeadByte) {
    return LastSeparatorOf(path, "\\", isLeadByte);
}

std::string InstanceMutexBaseName(std::string_view programName) {
    std::string name = "APPLICATION-";
    name += programName;
    for (char& c : name) {
        if (c == '\\') c = '_';
    }
    return name;
}

std::string HomePageOf(std::string_view webFileLine, const LeadByteTest& isLeadByte) {
    return DirectoryPart(webFileLine, isLeadByte) + "_home.htm";
}

}  // namespace vrln::core
