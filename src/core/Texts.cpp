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

std::string TooltipText(std::uint8_t state, std::string_view nextLaunchText) {
    if (state & 0x01) return "<Suspended>";
    if (nextLaunchText.empty()) return "<No task is waiting to run>";
    std::string text = "<Next launch at ";
    text += nextLaunchText;
    text += '>';
    return text;
}

std::string CutTip(std::string_view text) {
    return std::string(text.substr(0, kMaxTipChars));
}

}  // namespace vrln::core
