// Service and mutex names: both DDE services are the file name up to its first
// dot, the browser's upper-cased in ASCII only; a mutex name keeps no backslash.
#include "FuzzCheck.h"
#include "core/Browser.h"
#include "core/Paths.h"

using namespace vrln;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view path = fuzz::AsText(data, size);
    const std::string browser = core::DdeServiceNameOf(path);
    const std::string own = core::OwnDdeServiceNameOf(path);
    const std::string file = core::FileNamePart(path);

    FUZZ_CHECK(fuzz::StartsWith(file, own));
    FUZZ_CHECK(own.size() == file.size() || file[own.size()] == '.');
    FUZZ_CHECK(own.find_first_of(".\\:") == std::string::npos);
    FUZZ_CHECK(browser.size() == own.size());
    for (std::size_t i = 0; i < own.size(); ++i) {
        const char c = own[i];
        FUZZ_CHECK(browser[i] == ((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c));
    }
    FUZZ_CHECK(core::DirectoryPart(path) + file == path);

    const std::string mutex = core::InstanceMutexBaseName(path);
    FUZZ_CHECK(fuzz::StartsWith(mutex, "APPLICATION-"));
    FUZZ_CHECK(mutex.size() == path.size() + 12);
    FUZZ_CHECK(mutex.find('\\') == std::string::npos);
    return 0;
}
