// Which folders the read-ahead of the local webs watches, so that a change of
// webs.dat or of a web file's head reaches it as a change notification.
#pragma once

#include "core/Paths.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace vrln::core {

struct WatchedFolder {
    std::string Path;  // with its trailing backslash
    // The folder's direct subfolders as well: a web's own folder lies in it.
    bool Subtree = false;
    bool operator==(const WatchedFolder& other) const { return Path == other.Path && Subtree == other.Subtree; }
};

constexpr int kNotWatched = -1;

struct WatchPlan {
    std::vector<WatchedFolder> Folders;
    // The folder that holds webs.dat, an index into Folders or kNotWatched.
    int ListWatcher = kNotWatched;
    // For each line of webs.dat, the folder whose notification tells of a
    // change of that web file, or kNotWatched.
    std::vector<int> WebWatchers;
};

// The folders to watch for a work path (webs.dat is workPath + "webs.dat") and
// the lines of webs.dat, at most maxFolders of them. The list's folder comes
// first, with its direct subfolders unless it is a drive's or share's root.
// Each web file counts as in its own folder, which is grouped with its
// neighbours under the folder above it (a root's subfolders stand alone); the
// groups that hold the most web files are taken. Relative paths are not
// watched, nor anything at or below a folder of unwatchable (where writes are
// redirected elsewhere, so their notifications never come). Folders compare
// without case, letter by letter of the ANSI code page.
WatchPlan PlanWatches(std::string_view workPath, const std::vector<std::string>& lines, std::size_t maxFolders,
                      const std::vector<std::string>& unwatchable = {}, const LeadByteTest& isLeadByte = nullptr);

}  // namespace vrln::core
