// The "&Local webs" submenu: the webs that the main application lists in
// <work path>webs.dat, each titled from the head of its web file, and the
// opening of a web's home page in the browser.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace vrln {

class TBrowser;

// Menu command ids are 200 + line; WM_COMMAND carries 16 bits of them, so the
// list stops where the ids would wrap onto the tray menu's own commands.
constexpr UINT kFirstWebCommand = 200;
constexpr std::size_t kMaxWebs = 0x10000 - kFirstWebCommand;

// The title from the head of a web file; empty when the file can't be read.
std::string ReadWebTitle(const std::string& path);

// The whole of webs.dat, shared only with other readers while it is read;
// nullopt when it can't be opened or read.
std::optional<std::string> ReadWebsFile(const std::string& path);

// A file's size and times as one query gives them.
struct TFileStamp {
    bool Found = false;  // a file, not a folder, of that name exists
    std::uint64_t Size = 0;
    std::uint64_t LastWrite = 0;
    std::uint64_t Created = 0;
    bool operator==(const TFileStamp& other) const {
        return Found == other.Found && Size == other.Size && LastWrite == other.LastWrite && Created == other.Created;
    }
    bool operator!=(const TFileStamp& other) const { return !(*this == other); }
};
TFileStamp StampOf(const std::string& path);
// The system's time, as file times count it.
std::uint64_t FileTimeNow();
// Whether a read made at readAt can stand for the file as long as its stamp
// stays: only when the file's last write was well before the read, since a
// rewrite within the file system's time resolution may leave size and times as they were.
bool SettledAt(const TFileStamp& stamp, std::uint64_t readAt);

// The titles read at earlier passes over a list, keyed by path and checked
// against the file's stamp. A title read while the file's last write was
// still within the time resolution is read again at the next pass. Each
// owner keeps its own: the window's thread one, the read-ahead another.
class TWebTitles {
public:
    struct TTitle {
        std::string Title;
        TFileStamp Seen;        // as the title was read
        bool Settled = false;   // the title stands for the file as long as Seen does
        bool ReadFailed = false;  // the file is there but could not be opened or read
    };
    // Starts a pass at the current time.
    void Begin();
    TTitle Title(const std::string& path);
    // Drops the titles of webs that this pass did not ask for.
    void End();

private:
    struct TEntry {
        TTitle Read;
        unsigned Pass;
    };
    std::unordered_map<std::string, TEntry> Titles_;
    std::uint64_t PassAt = 0;
    unsigned Pass = 0;
};

// What the menu needs of the local webs, read ahead and handed to the window
// whole, with what tells whether it still describes the disk.
struct TWebsList {
    struct TItem {
        std::string Line;  // as webs.dat has it
        std::string Text;  // of the menu item
        // A change notification tells the read-ahead of a change of this web
        // file; else the window compares Seen with the disk at each opening.
        bool Watched = false;
        TFileStamp Seen;
        bool Settled = false;
        bool operator==(const TItem& other) const {
            return Line == other.Line && Text == other.Text && Watched == other.Watched && Seen == other.Seen &&
                   Settled == other.Settled;
        }
    };
    std::string WorkPath;
    // webs.dat as read; the window compares it with the disk at each opening.
    TFileStamp ListSeen;
    bool ListSettled = false;
    bool ListWatched = false;
    std::vector<TItem> Items;
    bool operator==(const TWebsList& other) const {
        return WorkPath == other.WorkPath && ListSeen == other.ListSeen && ListSettled == other.ListSettled &&
               ListWatched == other.ListWatched && Items == other.Items;
    }
};

// Empties the submenu, rereads webs.dat into webs and appends one item per
// line ("&<n> <title>", id 200 + n). Returns the number of lines. A web file
// whose size and times are those of a read at an earlier opening keeps the
// title read then; only the window's thread may call it.
int FillWebsMenu(HMENU submenu, std::vector<std::string>& webs);

enum class TKnownWebsUse {
    Shown,
    // Shown, with titles read now of web files that changed unseen by the read-ahead.
    ShownWithTitlesReadNow,
    // The work path or webs.dat changed since the list was read: nothing done.
    Outdated,
};
// Fills the submenu and webs from a list the read-ahead handed over, unless it
// is outdated; reads nothing but the stamps of webs.dat and of the web files
// that no notification watches (and the heads of those that changed).
TKnownWebsUse FillWebsMenuFrom(const TWebsList& known, HMENU submenu, std::vector<std::string>& webs);

// Opens the home page of the web on line index; an index beyond the list does nothing.
void OpenLocalWeb(const std::vector<std::string>& webs, std::uint32_t index, TBrowser& browser);

}  // namespace vrln
