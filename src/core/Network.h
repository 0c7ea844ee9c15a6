// Which addresses make a network that a capture can use.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vrln::core {

// True for an IPv4 (4 bytes) or IPv6 (16 bytes) address, in network order,
// that reaches beyond this machine and its own link: neither unspecified,
// loopback nor link-local (169.254/16, fe80::/10), which an interface holds
// also while no network answers it.
bool IsRoutableUnicast(const std::uint8_t* bytes, std::size_t size);
// True for 0.0.0.0 and ::, which a route lists as its gateway when it has none.
bool IsUnspecified(const std::uint8_t* bytes, std::size_t size);

}  // namespace vrln::core
