#include "app/Autostart.h"

#include "core/Browser.h"
#include "win/Handles.h"

namespace vrln {

bool RegisterAutostart(const std::string& valueName, const std::string& path) {
    if (valueName.size() >= 512 || path.size() >= 256) return false;
    UniqueHkey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) return false;
    const std::string command = core::QuoteIfBlank(path);
    // The byte count includes the terminating NUL.
    ::RegSetValueExA(key.get(), valueName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                     static_cast<DWORD>(command.size() + 1));
    return true;
}

bool UnregisterAutostart(const std::string& valueName) {
    UniqueHkey key;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) return false;
    ::RegDeleteValueA(key.get(), valueName.c_str());
    return true;
}

}  // namespace vrln
