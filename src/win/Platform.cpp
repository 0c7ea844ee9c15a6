#include "win/Platform.h"

namespace vrln {

PlatformCalls& Platform() {
    static PlatformCalls calls;
    return calls;
}

}  // namespace vrln
