// Head of a web file: the title matches a bounds-checked reading of the bytes,
// whatever the stream's chunking, and no more than the longest head is read.
#include "FuzzCheck.h"
#include "core/WebsList.h"

#include <algorithm>
#include <cstring>

using namespace vrln;

namespace {

// Delivers the bytes in chunks of 1 to 7, and counts what it delivered.
class ChunkSource final : public core::ByteSource {
public:
    explicit ChunkSource(std::string_view bytes) : bytes_(bytes) {}
    std::size_t Read(void* buffer, std::size_t count) override {
        const std::size_t n = std::min({count, bytes_.size() - pos_, next_});
        next_ = next_ % 7 + 1;
        if (n == 0) return 0;
        std::memcpy(buffer, bytes_.data() + pos_, n);
        pos_ += n;
        return n;
    }
    std::size_t consumed() const { return pos_; }

private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
    std::size_t next_ = 1;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes = fuzz::AsText(data, size);

    // The reading by hand: missing length or version bytes are 0, a short string keeps what is there.
    std::size_t pos = 0;
    auto shortString = [&]() -> std::string_view {
        if (pos >= size) return {};
        const std::size_t length = data[pos++];
        const std::size_t n = std::min(length, size - pos);
        const std::string_view s = bytes.substr(pos, n);
        pos += n;
        return s;
    };
    shortString();
    const std::uint8_t low = pos < size ? data[pos] : 0;
    const std::uint8_t high = pos + 1 < size ? data[pos + 1] : 0;
    pos = std::min(pos + 2, size);
    const auto version = static_cast<std::int16_t>(static_cast<std::uint16_t>(low | (high << 8)));
    if (version >= 512) shortString();
    const std::string_view expected = shortString();

    core::MemorySource memory(bytes);
    const std::string title = core::ReadWebTitleFrom(memory);
    FUZZ_CHECK(title == expected);
    FUZZ_CHECK(title.size() <= 255);

    ChunkSource chunks(bytes);
    FUZZ_CHECK(core::ReadWebTitleFrom(chunks) == expected);
    FUZZ_CHECK(chunks.consumed() == pos);
    FUZZ_CHECK(chunks.consumed() <= core::kMaxWebHeadBytes);
    return 0;
}
