#include "core/Texts.h"

namespace vrln::core {

namespace {
constexpr std::size_t kMaxTitleChars = 30;
}

std::string WebMenuItemText(std::size_t index, std::string_view title) {
    std::string text = "&" + std::to_string(index + 1) + " ";
    if (title.size() > kMaxTitleChars) {
        text += title.substr(0, kMaxTitleChars);
        text += "...";
    } else {
        text += title;
    }
    return text;
}

std::string TooltipText(std::uint8_t state, std::string_view nextLaunchText, bool waitingForNetwork) {
    if (state & 0x01) return "<Suspended>";
    if (waitingForNetwork) return "<Waiting for a network connection>";
    if (nextLaunchText.empty()) return "<No task is waiting to run>";
    std::string text = "<Next launch at ";
    text += nextLaunchText;
    text += '>';
    return text;
}

std::string LaunchFailureText(std::string_view path, unsigned winExecResult) {
    std::string reason;
    switch (winExecResult) {
        case 2: reason = "The file was not found:"; break;                // ERROR_FILE_NOT_FOUND
        case 3: reason = "The folder was not found:"; break;              // ERROR_PATH_NOT_FOUND
        case 5: reason = "Access was denied to"; break;                   // ERROR_ACCESS_DENIED
        case 11: reason = "This is not a valid program:"; break;          // ERROR_BAD_FORMAT
        case 0: case 8: reason = "There is not enough memory to start"; break;  // out of resources, ERROR_NOT_ENOUGH_MEMORY
        default: reason = "Windows reported error " + std::to_string(winExecResult) + " for"; break;
    }
    std::string text = reason + "\n";
    text += path;
    return text;
}

std::string CutText(std::string_view text, std::size_t maxChars, const LeadByteTest& isLeadByte) {
    if (text.size() <= maxChars) return std::string(text);
    std::size_t end = 0;
    while (end < maxChars) {
        const std::size_t width = (isLeadByte && isLeadByte(static_cast<unsigned char>(text[end]))) ? 2 : 1;
        if (end + width > maxChars) break;
        end += width;
    }
    return std::string(text.substr(0, end));
}

std::string CutTip(std::string_view text) {
    return std::string(text.substr(0, kMaxTipChars));
}

}  // namespace vrln::core
