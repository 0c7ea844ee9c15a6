// Small ANSI helpers over the file system.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace vrln {

// A file of that name exists: a directory search finds an item that is not a directory.
bool FileExists(const std::string& path);
// The file's first maxBytes bytes, fewer only where it ends; nullopt when it can't be opened or read.
std::optional<std::string> ReadFileHead(const std::string& path, std::size_t maxBytes);

}  // namespace vrln
