#include "core/Network.h"

#include <algorithm>

namespace vrln::core {

bool IsRoutableUnicast(const std::uint8_t* bytes, std::size_t size) {
    if (!bytes) return false;
    if (size == 4) return bytes[0] != 0 && bytes[0] != 127 && !(bytes[0] == 169 && bytes[1] == 254);
    if (size != 16) return false;
    const bool zeroHead = std::all_of(bytes, bytes + 15, [](std::uint8_t b) { return b == 0; });
    if (zeroHead && bytes[15] <= 1) return false;  // :: and ::1
    return !(bytes[0] == 0xfe && (bytes[1] & 0xc0) == 0x80);
}

bool IsUnspecified(const std::uint8_t* bytes, std::size_t size) {
    return bytes && (size == 4 || size == 16) && std::all_of(bytes, bytes + size, [](std::uint8_t b) { return b == 0; });
}

}  // namespace vrln::core
