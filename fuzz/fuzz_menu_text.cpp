// Tray texts: a menu item is "&n " and a title part of at most 33 characters;
// a tooltip is one of three forms and its cut keeps at most 63 characters.
#include "FuzzCheck.h"
#include "core/Texts.h"

#include <cstring>

using namespace vrln;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    std::uint16_t index = 0;
    std::memcpy(&index, data, 2);
    const std::uint8_t state = data[2];
    const std::string_view title = fuzz::AsText(data + 3, size - 3);

    const std::string item = core::WebMenuItemText(index, title);
    const std::string number = "&" + std::to_string(index + 1) + " ";
    FUZZ_CHECK(fuzz::StartsWith(item, number));
    const std::string_view titlePart = std::string_view(item).substr(number.size());
    FUZZ_CHECK(titlePart.size() <= 33);
    if (title.size() <= 30) {
        FUZZ_CHECK(titlePart == title);
    } else {
        FUZZ_CHECK(titlePart.substr(0, 30) == title.substr(0, 30));
        FUZZ_CHECK(titlePart.substr(30) == "...");
    }

    const std::string tip = core::TooltipText(state, title);
    if (state & 0x01) {
        FUZZ_CHECK(tip == "<Suspended>");
    } else if (title.empty()) {
        FUZZ_CHECK(tip == "<No task is waiting to run>");
    } else {
        FUZZ_CHECK(tip.size() == title.size() + 17);
        FUZZ_CHECK(fuzz::StartsWith(tip, "<Next launch at "));
        FUZZ_CHECK(std::string_view(tip).substr(16, title.size()) == title);
        FUZZ_CHECK(tip.back() == '>');
    }
    const std::string cut = core::CutTip(tip);
    FUZZ_CHECK(cut.size() == std::min(tip.size(), core::kMaxTipChars));
    FUZZ_CHECK(fuzz::StartsWith(tip, cut));
    return 0;
}
