// The "&Local webs" submenu: the webs that the main application lists in
// <work path>webs.dat, each titled from the head of its web file, and the
// opening of a web's home page in the browser.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vrln {

class TBrowser;

// Menu command ids are 200 + line; WM_COMMAND carries 16 bits of them, so the
// list stops where the ids would wrap onto the tray menu's own commands.
constexpr UINT kFirstWebCommand = 200;
constexpr std::size_t kMaxWebs = 0x10000 - kFirstWebCommand;

// The title from the head of a web file; empty when the file can't be read.
std::string ReadWebTitle(const std::string& path);

// Empties the submenu, rereads webs.dat into webs and appends one item per
// line ("&<n> <title>", id 200 + n). Returns the number of lines. A web file
// whose size and times are those of a read at an earlier opening keeps the
// title read then; only the window's thread may call it.
int FillWebsMenu(HMENU submenu, std::vector<std::string>& webs);

// Opens the home page of the web on line index; an index beyond the list does nothing.
void OpenLocalWeb(const std::vector<std::string>& webs, std::uint32_t index, TBrowser& browser);

}  // namespace vrln
