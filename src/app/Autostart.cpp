#include "app/Autostart.h"

#include "core/Browser.h"
#include "win/Handles.h"

namespace vrln {

namespace {

UniqueHkey OpenRunKey(HKEY root) {
    UniqueHkey key;
    if (::RegOpenKeyExA(root, kRunKey, 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) key.reset();
    return key;
}

}  // namespace

bool RegisterAutostart(const std::string& valueName, const std::string& path) {
    if (valueName.size() >= 512 || path.size() >= 256) return false;
    UniqueHkey key = OpenRunKey(HKEY_LOCAL_MACHINE);
    if (!key) key = OpenRunKey(HKEY_CURRENT_USER);
    if (!key) return false;
    const std::string command = core::QuoteIfBlank(path);
    // The byte count includes the terminating NUL.
    ::RegSetValueExA(key.get(), valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                     static_cast<DWORD>(command.size() + 1));
    return true;
}

bool UnregisterAutostart(const std::string& valueName) {
    bool opened = false;
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        const UniqueHkey key = OpenRunKey(root);
        if (!key) continue;
        ::RegDeleteValueA(key.get(), valueName.c_str());
        opened = true;
    }
    return opened;
}

}  // namespace vrln
