// The list of local webs (webs.dat) and the head of a web file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vrln::core {

// Splits the text of webs.dat into its lines. A line ends at CR, at LF or at
// CR LF; a last line without an end counts; a NUL byte ends the whole text.
// Lines are kept exactly as they stand, empty ones included. At most maxLines
// lines are taken: what lies beyond is never looked at, so a huge file of
// line ends costs no more than the lines that can be shown.
std::vector<std::string> SplitWebsLines(std::string_view text,
                                        std::size_t maxLines = static_cast<std::size_t>(-1));

// A byte stream that reports how much it delivered and never throws.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::size_t Read(void* buffer, std::size_t count) = 0;
};

// Reads from memory; used by the fuzzers and tests, and by callers that
// already hold the head in a buffer.
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::string_view bytes) : bytes_(bytes) {}
    std::size_t Read(void* buffer, std::size_t count) override;

private:
    std::string_view bytes_;
    std::size_t pos_ = 0;
};

// One length byte n, then n bytes. A missing length byte reads as 0, and a
// string that the stream cuts short keeps the bytes that were there.
std::string ReadShortString(ByteSource& source);
// Two bytes, low first, as a signed value. Missing bytes read as 0.
std::int16_t ReadVersionWord(ByteSource& source);
// The title of a web file: first string (skipped), version word, a second
// string (skipped) only when the version is 512 or more, then the title.
std::string ReadWebTitleFrom(ByteSource& source);

// Longest head worth reading: three strings of up to 256 bytes and the version.
constexpr std::size_t kMaxWebHeadBytes = 770;

}  // namespace vrln::core
