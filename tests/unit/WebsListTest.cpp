#include "core/WebsList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace vrln::core;
using Lines = std::vector<std::string>;

TEST(SplitWebsLines, EndsALineAtCrAtLfAndAtCrLf) {
    EXPECT_EQ(SplitWebsLines("a\r\nb\nc\rd"), (Lines{"a", "b", "c", "d"}));
    EXPECT_EQ(SplitWebsLines("a\nb\n"), SplitWebsLines("a\r\nb\r\n"));
    // LF then CR is two ends; CR then CR LF is two ends as well.
    EXPECT_EQ(SplitWebsLines("a\n\rb"), (Lines{"a", "", "b"}));
    EXPECT_EQ(SplitWebsLines("a\r\r\nb"), (Lines{"a", "", "b"}));
}

TEST(SplitWebsLines, CountsALastLineWithoutAnEndButNoLineAfterTheLastEnd) {
    EXPECT_EQ(SplitWebsLines("C:\\A\\a.vrl\r\nC:\\B\\b.vrl"), (Lines{"C:\\A\\a.vrl", "C:\\B\\b.vrl"}));
    EXPECT_EQ(SplitWebsLines("only"), (Lines{"only"}));
    EXPECT_EQ(SplitWebsLines("only\r\n"), (Lines{"only"}));
    EXPECT_EQ(SplitWebsLines("only\r"), (Lines{"only"}));
    EXPECT_TRUE(SplitWebsLines("").empty());
}

TEST(SplitWebsLines, KeepsEmptyLinesAndBlanksAsTheyStand) {
    EXPECT_EQ(SplitWebsLines("\n\r\n x \r\r"), (Lines{"", "", " x ", ""}));
    EXPECT_EQ(SplitWebsLines("\r\n"), (Lines{""}));
    EXPECT_EQ(SplitWebsLines("\t\xE9\xFF\n"), (Lines{"\t\xE9\xFF"}));
}

TEST(SplitWebsLines, StopsAtTheFirstNul) {
    EXPECT_EQ(SplitWebsLines(std::string("a\nb\0c\nd", 7)), (Lines{"a", "b"}));
    EXPECT_EQ(SplitWebsLines(std::string("a\n\0", 3)), (Lines{"a"}));
    EXPECT_TRUE(SplitWebsLines(std::string("\0a\nb", 4)).empty());
}

TEST(SplitWebsLines, BuildsNoMoreLinesThanTheCapEvenFrom32MiBOfLineEnds) {
    const std::string lineEnds(32u << 20, '\n');
    const std::size_t cap = 0x10000 - 200;
    const Lines lines = SplitWebsLines(lineEnds, cap);
    EXPECT_EQ(lines.size(), cap);
    // Nothing beyond the cap was ever built: the list grew only while it filled.
    EXPECT_LE(lines.capacity(), 2 * cap);
    EXPECT_EQ(SplitWebsLines("a\nb\nc", 2), (Lines{"a", "b"}));
    EXPECT_TRUE(SplitWebsLines("a\nb", 0).empty());
}

namespace {

std::string Str(const std::string& s) {
    return std::string(1, static_cast<char>(s.size())) + s;
}

std::string Word(unsigned value) {
    return {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
}

std::string TitleOf(const std::string& head) {
    MemorySource source(head);
    return ReadWebTitleFrom(source);
}

// Delivers one byte per call, as a slow stream might.
class TrickleSource final : public ByteSource {
public:
    explicit TrickleSource(std::string bytes) : bytes_(std::move(bytes)) {}
    std::size_t Read(void* buffer, std::size_t count) override {
        if (count == 0 || pos_ == bytes_.size()) return 0;
        static_cast<char*>(buffer)[0] = bytes_[pos_++];
        return 1;
    }
    std::size_t consumed() const { return pos_; }

private:
    std::string bytes_;
    std::size_t pos_ = 0;
};

}  // namespace

TEST(ReadWebTitle, SkipsSecondStringFromVersion512) {
    EXPECT_EQ(TitleOf(Str("A") + Word(511) + Str("My Site")), "My Site");
    EXPECT_EQ(TitleOf(Str("A") + Word(512) + Str("B") + Str("My Site")), "My Site");
    EXPECT_EQ(TitleOf(Str("A") + Word(0x7FFF) + Str("B") + Str("My Site")), "My Site");
    EXPECT_EQ(TitleOf(Str("") + Word(0) + Str("T")), "T");
}

TEST(ReadWebTitle, TakesANegativeVersionAsOld) {
    EXPECT_EQ(TitleOf(Str("A") + Word(0xFFFF) + Str("T") + Str("X")), "T");
    EXPECT_EQ(TitleOf(Str("A") + Word(0x8000) + Str("T") + Str("X")), "T");
}

TEST(ReadWebTitle, KeepsTitlesOfEveryLengthAndByte) {
    std::string all;
    for (int b = 0; b < 255; ++b) all += static_cast<char>(b + 1);
    all[7] = '\0';
    for (std::size_t length : {0u, 1u, 30u, 31u, 254u, 255u}) {
        const std::string title = all.substr(0, length);
        EXPECT_EQ(TitleOf(Str("first") + Word(512) + Str("second") + Str(title)), title) << length;
    }
}

TEST(ReadWebTitle, ReadsAHeadCutAtEveryLength) {
    const std::string title = "Cut Title";
    const std::string head = Str("first") + Word(512) + Str("second") + Str(title) + "rest of the file";
    const std::size_t titleLengthAt = head.find(title) - 1;
    for (std::size_t cut = 0; cut <= head.size(); ++cut) {
        const std::string expected =
            cut <= titleLengthAt ? std::string() : title.substr(0, cut - titleLengthAt - 1);
        EXPECT_EQ(TitleOf(head.substr(0, cut)), expected) << "cut at " << cut;
    }
}

TEST(ReadWebTitle, ReadsMissingLengthAndVersionAsZeroAndKeepsAShortString) {
    MemorySource empty("");
    EXPECT_EQ(ReadShortString(empty), "");
    EXPECT_EQ(ReadVersionWord(empty), 0);

    MemorySource shortString("\x05" "abc");
    EXPECT_EQ(ReadShortString(shortString), "abc");
    EXPECT_EQ(ReadShortString(shortString), "");

    MemorySource lowByteOnly("\x34");
    EXPECT_EQ(ReadVersionWord(lowByteOnly), 0x34);

    MemorySource word(std::string_view("\xFE\xFF\x00\x02", 4));
    EXPECT_EQ(ReadVersionWord(word), -2);
    EXPECT_EQ(ReadVersionWord(word), 512);
}

TEST(ReadWebTitle, ReadsNoMoreThanTheLongestHead) {
    const std::string s255(255, 'x');
    const std::string title(255, 'T');
    TrickleSource source(Str(s255) + Word(512) + Str(s255) + Str(title) + std::string(1000, 'z'));
    EXPECT_EQ(ReadWebTitleFrom(source), title);
    EXPECT_EQ(source.consumed(), kMaxWebHeadBytes);
}

TEST(ReadWebTitle, GivesTheSameTitleFromAStreamThatDeliversByteByByte) {
    const std::string head = Str("A") + Word(512) + Str("B") + Str("My Site");
    TrickleSource trickle(head);
    EXPECT_EQ(ReadWebTitleFrom(trickle), "My Site");
    TrickleSource cut(head.substr(0, head.size() - 3));
    EXPECT_EQ(ReadWebTitleFrom(cut), "My S");
}
