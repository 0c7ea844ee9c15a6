// DDE request item: the page in quotes, then six fixed arguments; 28 characters
// more than the page.
#include "FuzzCheck.h"
#include "core/Browser.h"

using namespace vrln;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view page = fuzz::AsText(data, size);
    const std::string item = core::OpenUrlRequestItem(page);
    FUZZ_CHECK(item.size() == 28 + page.size());
    FUZZ_CHECK(item.front() == '"');
    FUZZ_CHECK(std::string_view(item).substr(1, page.size()) == page);
    FUZZ_CHECK(std::string_view(item).substr(1 + page.size()) == "\",,0xffffffff,0x00000000,,,");

    // A page without quotes is one argument: six more follow, split at commas.
    if (page.find('"') == std::string_view::npos) {
        const std::string_view rest = std::string_view(item).substr(item.find('"', 1) + 1);
        FUZZ_CHECK(rest.size() == 26);
        std::size_t commas = 0;
        for (char c : rest) commas += c == ',' ? 1 : 0;
        FUZZ_CHECK(commas == 6);
    }
    return 0;
}
