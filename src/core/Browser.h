// Rules of the browser launcher that need no platform: the DDE request item,
// the DDE service name, and the executable named by an open command.
#pragma once

#include "core/Paths.h"

#include <optional>
#include <string>
#include <string_view>

namespace vrln::core {

// '"' + page + '",,0xffffffff,0x00000000,,,' : 28 characters plus the page.
std::string OpenUrlRequestItem(std::string_view page);

// The browser's DDE service: the file name of the executable, upper-cased in
// ASCII and cut before its first full stop (...\browse.exe gives BROWSE). The
// second byte of a double-byte character is neither a separator nor a letter.
std::string DdeServiceNameOf(std::string_view browserExe, const LeadByteTest& isLeadByte = nullptr);

// The program's own DDE service: its file name cut before the first full stop,
// letter case kept.
std::string OwnDdeServiceNameOf(std::string_view ownPath, const LeadByteTest& isLeadByte = nullptr);

// The executable of a shell open command. A command starting with a double
// quote yields the text between the first two quotes (at most 255 characters
// after the first; empty when the closing quote is missing); otherwise the
// text before the first blank. The result still needs the long-name expansion.
std::string ExecutableOfOpenCommand(std::string_view command);

// The command line that starts the browser with a page: the browser's path
// always in double quotes, the page in quotes when it contains a blank.
// Returns nothing for a browser without a full path, or when the page cannot
// be passed safely: it contains a double quote, or it begins with '-' and
// would be read as one of the browser's own switches.
std::optional<std::string> BrowserCommandLine(std::string_view browserExe, std::string_view page);

// A path as a command line: quoted when it contains a blank, else unchanged.
std::string QuoteIfBlank(std::string_view path);

}  // namespace vrln::core
