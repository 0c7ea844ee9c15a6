// Whether a network that a capture can use is up, as Windows sees it.
#pragma once

#include "core/LogLines.h"

namespace vrln {

// Whether a network is up, and which rule said so.
struct TNetworkAnswer {
    bool Up = false;
    core::NetworkJudge Judge = core::NetworkJudge::ListManager;
};

// Asked afresh at each call. Where the Network List Manager can be had (in
// COM's multithreaded apartment, which the call enters and leaves again, or
// in the calling thread's own apartment), true when it reports the
// Internet over IPv4 or IPv6: Windows' own probe, which also sees that a VPN
// adapter still up after a wake has no link beneath it. Elsewhere, and where a
// policy has turned that probe off (NoActiveProbe = 1, EnableActiveProbing = 0:
// it would then say a local network only, for ever), true when a hardware
// interface is up with its medium connected, a usable address beyond its own
// link and a default gateway.
TNetworkAnswer AskForNetwork();
inline bool NetworkIsUp() { return AskForNetwork().Up; }

// The second rule alone.
bool AdaptersShowANetwork();

}  // namespace vrln
