#include "core/Browser.h"

#include "core/Paths.h"

namespace vrln::core {

namespace {

bool HasBlank(std::string_view text) {
    return text.find_first_of(" \t") != std::string_view::npos;
}

std::string CutAtFirstDot(std::string name) {
    const std::size_t dot = name.find('.');
    if (dot != std::string::npos) name.erase(dot);
    return name;
}

// Quotes an argument after the program name. Backslashes right before the
// closing quote are doubled so that the receiver does not read it as \".
std::string QuoteArgument(std::string_view text) {
    if (!HasBlank(text)) return std::string(text);
    std::string quoted = "\"";
    quoted += text;
    const std::size_t lastNonBackslash = text.find_last_not_of('\\');
    const std::size_t trailing =
        lastNonBackslash == std::string_view::npos ? text.size() : text.size() - lastNonBackslash - 1;
    quoted.append(trailing, '\\');
    quoted += '"';
    return quoted;
}

}  // namespace

std::string OpenUrlRequestItem(std::string_view page) {
    std::string item = "\"";
    item += page;
    item += "\",,0xffffffff,0x00000000,,,";
    return item;
}

std::string DdeServiceNameOf(std::string_view browserExe, const LeadByteTest& isLeadByte) {
    std::string name = FileNamePart(browserExe, isLeadByte);
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (isLeadByte && isLeadByte(static_cast<unsigned char>(c))) {
            ++i;  // a trail byte in 'a' to 'z' is part of another character
        } else if (c >= 'a' && c <= 'z') {
            name[i] = static_cast<char>(c - 'a' + 'A');
        }
    }
    // A full stop never occurs as a trail byte.
    return CutAtFirstDot(std::move(name));
}

std::string OwnDdeServiceNameOf(std::string_view ownPath, const LeadByteTest& isLeadByte) {
    return CutAtFirstDot(FileNamePart(ownPath, isLeadByte));
}

std::string ExecutableOfOpenCommand(std::string_view command) {
    // The command comes out of a registry buffer: it ends at its first NUL.
    const std::size_t nul = command.find('\0');
    if (nul != std::string_view::npos) command = command.substr(0, nul);
    if (command.empty()) return {};

    if (command.front() == '"') {
        const std::string_view rest = command.substr(1, 255);
        const std::size_t close = rest.find('"');
        if (close == std::string_view::npos) return {};
        return std::string(rest.substr(0, close));
    }
    return std::string(command.substr(0, command.find(' ')));
}

std::optional<std::string> BrowserCommandLine(std::string_view browserExe, std::string_view page) {
    // Without a browser the line would start with the page and run whatever it names.
    if (!IsAbsolutePath(browserExe) || page.empty()) return std::nullopt;
    // A quote would end the quoting early and let the rest of the text become arguments.
    if (browserExe.find_first_of(std::string_view("\"\0", 2)) != std::string_view::npos) return std::nullopt;
    if (page.find_first_of(std::string_view("\"\0", 2)) != std::string_view::npos) return std::nullopt;
    if (page.front() == '-') return std::nullopt;
    // Quoted always, so that no part of it is taken for the program; the
    // program name is not unescaped by the receiver, so it is quoted as it stands.
    return "\"" + std::string(browserExe) + "\" " + QuoteArgument(page);
}

std::string QuoteIfBlank(std::string_view path) {
    if (!HasBlank(path)) return std::string(path);
    std::string quoted = "\"";
    quoted += path;
    quoted += '"';
    return quoted;
}

}  // namespace vrln::core
