// The main application's settings that this program reads: its working path
// (win.ini) and the browser chosen in it (Vorlane.ini in the working path).
// Nothing is cached; every call reads afresh.
#pragma once

#include <string>

namespace vrln {

// The "WORKPATH" of section "VORLANE" in win.ini, as stored (at most 254
// characters), or empty. File names are appended to it without a separator.
std::string ReadWorkPath();

// "ExeName" of section "Browser" in <work path>Vorlane.ini, as stored, or empty
// when there is no work path, no such file, or no such key.
std::string ReadIniBrowser();

}  // namespace vrln
