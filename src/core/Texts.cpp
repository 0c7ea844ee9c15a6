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

std::string LaunchFailureReason(unsigned winExecResult, bool notAProgram) {
    switch (winExecResult) {
        case 2: return "The file was not found:";                  // ERROR_FILE_NOT_FOUND
        case 3: return "The folder was not found:";                // ERROR_PATH_NOT_FOUND
        case 5: return "Access was denied to";                     // ERROR_ACCESS_DENIED
        case 8: return "There is not enough memory to start";      // ERROR_NOT_ENOUGH_MEMORY
        case 0: return "There are not enough resources to start";  // out of memory or other resources
        // WinExec's 11 also stands for every error numbered 32 or more (a policy that
        // blocks the program, a 64-bit program on 32-bit Windows, ...): only the file proves more.
        case 11: return notAProgram ? "This is not a valid program:" : "The program could not be started:";
        default: return "Windows reported error " + std::to_string(winExecResult) + " for";
    }
}

std::string LaunchFailureText(std::string_view path, unsigned winExecResult, bool notAProgram) {
    std::string text = LaunchFailureReason(winExecResult, notAProgram) + "\n";
    text += path;
    return text;
}

bool HeadShowsNoProgram(std::string_view head) {
    constexpr std::size_t kDosHeaderBytes = 0x40, kPeOffsetAt = 0x3C;
    if (head.size() < kDosHeaderBytes || head.substr(0, 2) != "MZ") return true;
    std::uint64_t peOffset = 0;
    for (std::size_t i = 4; i-- > 0;) peOffset = (peOffset << 8) | static_cast<unsigned char>(head[kPeOffsetAt + i]);
    if (peOffset + 4 <= head.size()) return head.substr(peOffset, 4) != std::string_view("PE\0\0", 4);
    // A head shorter than asked for is the whole file: the signature lies beyond its end.
    return head.size() < kProgramHeadBytes;
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
