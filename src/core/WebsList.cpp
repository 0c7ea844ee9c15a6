#include "core/WebsList.h"

#include <algorithm>
#include <cstring>

namespace vrln::core {

std::vector<std::string> SplitWebsLines(std::string_view text, std::size_t maxLines) {
    // The list is read as a C string: whatever follows a NUL is not part of it.
    const std::size_t nul = text.find('\0');
    if (nul != std::string_view::npos) text = text.substr(0, nul);

    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size() && lines.size() < maxLines) {
        const std::size_t end = text.find_first_of("\r\n", start);
        if (end == std::string_view::npos) {
            lines.emplace_back(text.substr(start));
            break;
        }
        lines.emplace_back(text.substr(start, end - start));
        start = end + 1;
        if (text[end] == '\r' && start < text.size() && text[start] == '\n') ++start;
    }
    return lines;
}

std::size_t MemorySource::Read(void* buffer, std::size_t count) {
    const std::size_t n = std::min(count, bytes_.size() - pos_);
    if (n == 0) return 0;  // memcpy must not see a null buffer, even for 0 bytes
    std::memcpy(buffer, bytes_.data() + pos_, n);
    pos_ += n;
    return n;
}

namespace {

// A source may deliver less than asked without being at its end; keep asking
// until it delivers nothing. Returns how many bytes arrived.
std::size_t ReadUpTo(ByteSource& source, unsigned char* buffer, std::size_t count) {
    std::size_t got = 0;
    while (got < count) {
        const std::size_t n = source.Read(buffer + got, count - got);
        if (n == 0) break;
        got += std::min(n, count - got);  // a source that claims more did not write more
    }
    return got;
}

}  // namespace

std::string ReadShortString(ByteSource& source) {
    unsigned char length = 0;
    if (ReadUpTo(source, &length, 1) == 0) return {};
    unsigned char bytes[255];
    const std::size_t got = ReadUpTo(source, bytes, length);
    return std::string(reinterpret_cast<const char*>(bytes), got);
}

std::int16_t ReadVersionWord(ByteSource& source) {
    unsigned char bytes[2] = {0, 0};
    ReadUpTo(source, bytes, 2);
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8)));
}

std::string ReadWebTitleFrom(ByteSource& source) {
    ReadShortString(source);
    if (ReadVersionWord(source) >= 512) ReadShortString(source);
    return ReadShortString(source);
}

}  // namespace vrln::core
