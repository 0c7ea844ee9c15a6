// webs.dat: every byte before the first NUL is either in a line or one of its
// ends, lines come out in order, and no line holds CR, LF or NUL.
#include "FuzzCheck.h"
#include "core/Paths.h"
#include "core/WebsList.h"

using namespace vrln;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::AsText(data, size);
    const std::vector<std::string> lines = core::SplitWebsLines(text);
    const std::string_view body = text.substr(0, text.find('\0'));

    std::size_t pos = 0;
    for (const std::string& line : lines) {
        FUZZ_CHECK(pos < body.size());  // no line after the last line end
        FUZZ_CHECK(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos);
        FUZZ_CHECK(body.compare(pos, line.size(), line) == 0);
        pos += line.size();
        if (pos < body.size()) {
            FUZZ_CHECK(body[pos] == '\r' || body[pos] == '\n');
            pos += (body[pos] == '\r' && pos + 1 < body.size() && body[pos + 1] == '\n') ? 2 : 1;
        }
        const std::string home = core::HomePageOf(line);
        FUZZ_CHECK(fuzz::EndsWith(home, "_home.htm"));
        FUZZ_CHECK(fuzz::StartsWith(line, home.substr(0, home.size() - 9)));
    }
    FUZZ_CHECK(pos == body.size());
    return 0;
}
