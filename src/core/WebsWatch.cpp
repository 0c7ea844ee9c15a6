#include "core/WebsWatch.h"

#include <algorithm>

namespace vrln::core {

namespace {

// The folder as the file system compares names: ASCII letters in one case,
// the second byte of a double-byte character left as it is.
std::string FolderKey(std::string_view folder, const LeadByteTest& isLeadByte) {
    std::string key(folder);
    for (std::size_t i = 0; i < key.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(key[i]);
        if (isLeadByte && isLeadByte(c)) {
            ++i;
        } else if (c >= 'A' && c <= 'Z') {
            key[i] = static_cast<char>(c - 'A' + 'a');
        }
    }
    return key;
}

std::size_t BackslashesIn(std::string_view path, const LeadByteTest& isLeadByte) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < path.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (isLeadByte && isLeadByte(c)) {
            ++i;
        } else if (c == '\\') {
            ++count;
        }
    }
    return count;
}

// "C:\" or "\\server\share\": watching all below would tell of every change on the volume.
bool IsVolumeRoot(std::string_view folder, const LeadByteTest& isLeadByte) {
    if (folder.size() == 3 && folder[1] == ':' && folder[2] == '\\') return true;
    return folder.size() > 2 && folder.substr(0, 2) == "\\\\" && BackslashesIn(folder, isLeadByte) == 4 &&
           folder.back() == '\\';
}

// The folder that holds this one; empty for a root.
std::string ParentOf(std::string_view folder, const LeadByteTest& isLeadByte) {
    if (folder.empty() || IsVolumeRoot(folder, isLeadByte)) return {};
    return DirectoryPart(folder.substr(0, folder.size() - 1), isLeadByte);
}

bool AtOrBelow(const std::string& folderKey, const std::vector<std::string>& keys) {
    return std::any_of(keys.begin(), keys.end(),
                       [&](const std::string& key) { return folderKey.compare(0, key.size(), key) == 0; });
}

}  // namespace

WatchPlan PlanWatches(std::string_view workPath, const std::vector<std::string>& lines, std::size_t maxFolders,
                      const std::vector<std::string>& unwatchable, const LeadByteTest& isLeadByte) {
    WatchPlan plan;
    plan.WebWatchers.assign(lines.size(), kNotWatched);
    std::vector<std::string> unwatchableKeys;
    for (const std::string& folder : unwatchable) {
        std::string key = FolderKey(folder, isLeadByte);
        if (!key.empty() && key.back() != '\\') key += '\\';
        unwatchableKeys.push_back(key);
    }
    const auto watchable = [&](const std::string& folder) {
        return IsAbsolutePath(folder) && !AtOrBelow(FolderKey(folder, isLeadByte), unwatchableKeys);
    };

    std::string listKey;
    bool listSubtree = false;
    if (!workPath.empty() && maxFolders > 0) {
        const std::string listFolder = DirectoryPart(std::string(workPath) + "webs.dat", isLeadByte);
        if (watchable(listFolder)) {
            listSubtree = !IsVolumeRoot(listFolder, isLeadByte);
            plan.Folders.push_back({listFolder, listSubtree});
            plan.ListWatcher = 0;
            listKey = FolderKey(listFolder, isLeadByte);
        }
    }

    // The other groups, in the order of their first web. Neighbours in the
    // list mostly share a group, so the last one is looked at first.
    struct Group {
        std::string key;
        WatchedFolder folder;
        std::vector<std::size_t> webs;
    };
    std::vector<Group> groups;
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const std::string own = DirectoryPart(lines[n], isLeadByte);
        if (!watchable(own)) continue;
        const std::string above = ParentOf(own, isLeadByte);
        const std::string ownKey = FolderKey(own, isLeadByte);
        if (plan.ListWatcher != kNotWatched &&
            (ownKey == listKey || (listSubtree && FolderKey(above, isLeadByte) == listKey))) {
            plan.WebWatchers[n] = plan.ListWatcher;
            continue;
        }
        const bool grouped = !above.empty() && !IsVolumeRoot(above, isLeadByte);
        WatchedFolder folder{grouped ? above : own, grouped};
        std::string key = FolderKey(folder.Path, isLeadByte);
        auto group = groups.rbegin();
        if (group == groups.rend() || group->key != key) {
            group = std::find_if(groups.rbegin(), groups.rend(), [&](const Group& g) { return g.key == key; });
        }
        if (group == groups.rend()) {
            groups.push_back({std::move(key), std::move(folder), {}});
            group = groups.rbegin();
        }
        group->webs.push_back(n);
    }
    // The groups with the most webs while folders remain; the earlier on a tie.
    std::vector<bool> taken(groups.size(), false);
    while (plan.Folders.size() < maxFolders) {
        std::size_t best = groups.size();
        for (std::size_t g = 0; g < groups.size(); ++g) {
            if (!taken[g] && (best == groups.size() || groups[g].webs.size() > groups[best].webs.size())) best = g;
        }
        if (best == groups.size()) break;
        taken[best] = true;
        const int index = static_cast<int>(plan.Folders.size());
        plan.Folders.push_back(groups[best].folder);
        for (const std::size_t n : groups[best].webs) plan.WebWatchers[n] = index;
    }
    return plan;
}

}  // namespace vrln::core
