// Whether a network that a capture can use is up, as Windows sees it.
#pragma once

namespace vrln {

// Asked afresh at each call. Where the Network List Manager can be had (in
// COM's multithreaded apartment, which the call enters and leaves again, or
// in the calling thread's own apartment), true when it reports the
// Internet over IPv4 or IPv6: Windows' own probe, which also sees that a VPN
// adapter still up after a wake has no link beneath it. Elsewhere, and where a
// policy has turned that probe off (NoActiveProbe = 1, EnableActiveProbing = 0:
// it would then say a local network only, for ever), true when a hardware
// interface is up with its medium connected, a usable address beyond its own
// link and a default gateway.
bool NetworkIsUp();

// The second rule alone.
bool AdaptersShowANetwork();

}  // namespace vrln
