// Open command and browser command line: the executable is a piece of the
// command as the quoting rule says; a command line that is built splits back
// into exactly the program and the page, and a refused one had a reason.
#include "FuzzCheck.h"
#include "core/Browser.h"

using namespace vrln;

namespace {

// Whether a path names its drive or its server, written apart from the
// product's rule: an oracle that called that rule could never disagree with it.
bool NamesDriveOrServer(std::string_view path) {
    const auto separatorAt = [&path](std::size_t i) { return i < path.size() && (path[i] == '\\' || path[i] == '/'); };
    const std::string_view letters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
    const bool drive = path.size() >= 3 && letters.find(path[0]) != std::string_view::npos && path[1] == ':';
    return (drive && separatorAt(2)) || (separatorAt(0) && separatorAt(1));
}

void CheckExecutable(std::string_view command) {
    const std::string exe = core::ExecutableOfOpenCommand(command);
    command = command.substr(0, command.find('\0'));
    FUZZ_CHECK(exe.find('\0') == std::string::npos);
    if (command.empty()) {
        FUZZ_CHECK(exe.empty());
    } else if (command.front() == '"') {
        const std::string_view kept = command.substr(1, 255);
        FUZZ_CHECK(exe.find('"') == std::string::npos);
        FUZZ_CHECK(exe.size() < 255);
        if (kept.find('"') == std::string_view::npos) {
            FUZZ_CHECK(exe.empty());
        } else {
            FUZZ_CHECK(fuzz::StartsWith(kept, exe));
            FUZZ_CHECK(kept[exe.size()] == '"');
        }
    } else {
        FUZZ_CHECK(exe.find(' ') == std::string::npos);
        FUZZ_CHECK(fuzz::StartsWith(command, exe));
        FUZZ_CHECK(exe.size() == command.size() || command[exe.size()] == ' ');
    }
}

void CheckCommandLine(std::string_view exe, std::string_view page) {
    const std::string_view unsafe("\"\0", 2);
    FUZZ_CHECK(core::IsAbsolutePath(exe) == NamesDriveOrServer(exe));
    const bool refuse = !NamesDriveOrServer(exe) || page.empty() || page.front() == '-' ||
                        exe.find_first_of(unsafe) != std::string_view::npos ||
                        page.find_first_of(unsafe) != std::string_view::npos;
    const std::optional<std::string> line = core::BrowserCommandLine(exe, page);
    FUZZ_CHECK(line.has_value() != refuse);
    if (!line) return;
    const std::vector<std::string> args = fuzz::SplitCommandLine(*line);
    FUZZ_CHECK(args.size() == 2);
    FUZZ_CHECK(args[0] == exe);
    FUZZ_CHECK(args[1] == page);

    const std::string quoted = core::QuoteIfBlank(exe);
    FUZZ_CHECK(fuzz::SplitCommandLine(quoted).size() == 1);
    FUZZ_CHECK(fuzz::SplitCommandLine(quoted)[0] == exe);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text = fuzz::AsText(data, size);
    CheckExecutable(text);
    if (size > 0) {
        // The first byte says where the program ends and the page begins.
        const std::string_view rest = text.substr(1);
        const std::size_t split = data[0] % (rest.size() + 1);
        CheckCommandLine(rest.substr(0, split), rest.substr(split));
    }
    return 0;
}
