// Path pieces as the program splits them: a path's directory ends at its last
// backslash or colon, whichever comes later.
#pragma once

#include <string>
#include <string_view>

namespace vrln::core {

// Everything up to and including the last backslash or colon; empty when there is none.
std::string DirectoryPart(std::string_view path);
// What follows the last backslash or colon (the whole path when there is none).
std::string FileNamePart(std::string_view path);
// "APPLICATION-" + name with every backslash made an underscore. The caller
// upper-cases the result by the locale's ANSI rule (CharUpperBuffA).
std::string InstanceMutexBaseName(std::string_view programName);
// The home page of the web whose web file is named on a webs.dat line.
std::string HomePageOf(std::string_view webFileLine);

}  // namespace vrln::core
