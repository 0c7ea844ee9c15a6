// Small ANSI helpers over the file system.
#pragma once

#include <string>

namespace vrln {

// A file of that name exists: a directory search finds an item that is not a directory.
bool FileExists(const std::string& path);

}  // namespace vrln
