#include "core/LogLines.h"

#include <gtest/gtest.h>

#include <string>

using namespace vrln::core;

namespace {

DateTimeParts Local(int year, int month, int day, int hour, int minute, int second) {
    DateTimeParts parts;
    parts.year = year, parts.month = month, parts.day = day;
    parts.hour = hour, parts.minute = minute, parts.second = second;
    return parts;
}

const double kMoment = EncodeDateTime(Local(2026, 12, 8, 3, 0, 0));
// Shift-JIS: 0x83 opens "ソ" (0x83 0x5C), whose second byte is a backslash.
const LeadByteTest kShiftJisLead = [](unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); };

}  // namespace

TEST(LogTimeStamp, GivesTheLocalTimeToTheSecondAndItsOffsetFromUtc) {
    const struct Case { DateTimeParts local; int bias; const char* stamp; } cases[] = {
        {Local(2026, 12, 8, 3, 0, 1), -60, "2026-12-08 03:00:01 +01:00"},
        {Local(2026, 7, 1, 23, 59, 59), 0, "2026-07-01 23:59:59 +00:00"},
        {Local(2026, 1, 31, 9, 5, 7), -330, "2026-01-31 09:05:07 +05:30"},
        {Local(2026, 3, 2, 0, 0, 0), 210, "2026-03-02 00:00:00 -03:30"},
        {Local(999, 10, 9, 12, 0, 0), 480, "0999-10-09 12:00:00 -08:00"},
        {Local(2026, 12, 8, 3, 0, 0), -825, "2026-12-08 03:00:00 +13:45"}};
    for (const Case& c : cases) EXPECT_EQ(LogTimeStamp(c.local, c.bias), c.stamp);
}

TEST(LogField, ShowsControlCharactersAndCutsLongTextsVisibly) {
    const std::string path = "C:\\Program Files\\Vorlane\\VRLN98.EXE", a1023(1023, 'a');
    const struct Case { std::string text; LeadByteTest lead; std::string field; } cases[] = {
        {path, nullptr, path},
        {"C:\\a\r\n2026-12-08 03:00:01 +01:00  Started", nullptr, "C:\\a<CR><LF>2026-12-08 03:00:01 +01:00  Started"},
        {std::string("\t\x01\x1f\x7f\0z", 6), nullptr, "<TAB><x01><x1F><x7F><x00>z"},
        // Bytes of the ANSI code page are kept: a Latin-1 letter, and double-byte
        // characters whose second byte is a backslash or a letter.
        {"C:\\Daten\\\xE4", nullptr, "C:\\Daten\\\xE4"},
        {"C:\\\x83\x5C\x83\x41", kShiftJisLead, "C:\\\x83\x5C\x83\x41"},
        // A lead byte before a control character or at the end would swallow the next byte.
        {"\x83\n\x83", kShiftJisLead, "<x83><LF><x83>"},
        {std::string(32767, 'p'), nullptr, std::string(1024, 'p') + "<cut, 32767 bytes in all>"},
        {std::string(1024, 'p'), nullptr, std::string(1024, 'p')},
        {a1023 + "\n", nullptr, a1023 + "<cut, 1024 bytes in all>"},
        {a1023 + "\x83\x5C", kShiftJisLead, a1023 + "<cut, 1025 bytes in all>"},
        {a1023 + "\x83\x5C", nullptr, a1023 + "\x83<cut, 1025 bytes in all>"}};
    for (const Case& c : cases) EXPECT_EQ(LogField(c.text, c.lead), c.field) << c.text.size() << " bytes";
}

TEST(LogLines, TellEachDecisionInOneLine) {
    const std::string exe = "\"C:\\Program Files\\Vorlane\\VRLN98.EXE\"";
    const struct Case { std::string text, expected; } cases[] = {
        {ProgramStartedLine("1.0.0", true, RecordRead::UserCompleted),
         "Started: version 1.0.0, standard user, record read: the user's, completed from the machine's"},
        {ProgramStartedLine("1.0.0", false, RecordRead::MachineStandingIn),
         "Started: version 1.0.0, administrator, record read: the machine's, standing in for the user's"},
        {ProgramStartedLine("1.0.0", true, RecordRead::None), "Started: version 1.0.0, standard user, record read: none"},
        {MomentReadLine(kMoment, MomentSource::AnnouncedByMainApp),
         "New moment 2026-12-08 03:00:00, announced by the main application"},
        {MomentReadLine(0, MomentSource::FoundAtStart), "No moment planned, found at start"},
        {MomentReadLine(1e300, MomentSource::FoundAtStart), "New moment that is not a date, found at start"},
        {FlagsChangedLine(0x00, 0x03, ChangedBy::User),
         "Flags changed by the user: launches suspended, start minimised (state 0x00 to 0x03)"},
        {FlagsChangedLine(0x83, 0x80, ChangedBy::MainApp),
         "Flags changed by the main application: launches resumed, start normally (state 0x83 to 0x80)"},
        {FlagsChangedLine(0x01, 0x05, ChangedBy::MainApp),
         "Flags changed by the main application: (state 0x01 to 0x05)"},
        {WakeTimerSetLine(kMoment, WakeAbility::CanWake), "Wake timer set for 2026-12-08 03:00:00; it can wake the computer"},
        {WakeTimerSetLine(kMoment, WakeAbility::ImportantTimersOnly),
         "Wake timer set for 2026-12-08 03:00:00; it cannot wake the computer: the power plan allows important wake "
         "timers only"},
        {WakeTimerNotSetLine(kMoment, 87), "Wake timer not set for 2026-12-08 03:00:00: Windows reported error 87"},
        {MomentDueLine(kMoment + 1.0 / 86400), "Moment 2026-12-08 03:00:01 is due"},
        {NetworkAwaitedLine(true, NetworkJudge::ListManager, 999),
         "Network up at once: the Network List Manager reports the Internet"},
        {NetworkAwaitedLine(true, NetworkJudge::AdaptersProbeTurnedOff, 12500),
         "Network up after 12 s: a hardware adapter with an address and a gateway is up (Windows' Internet probe "
         "is turned off)"},
        {NetworkAwaitedLine(false, NetworkJudge::AdaptersNoListManager, 120000),
         "No network after 2 min 0 s: no hardware adapter with an address and a gateway is up (the Network List "
         "Manager could not be asked)"},
        {MomentConsumedLine(kMoment, false), "Moment 2026-12-08 03:00:00 used up, but it could not be stored as used"},
        {MainAppStartedLine(exe, 2), "Main application started, minimised (SW_SHOWMINIMIZED): " + exe},
        {MainAppStartedLine("C:\\V\\VRLN98.EXE", 5), "Main application started, show command 5: C:\\V\\VRLN98.EXE"},
        {MainAppNotStartedLine(exe, 2, false),
         "Main application not started, WinExec 2: The file was not found: " + exe},
        {MainAppNotStartedLine("C:\\\x83\x5C\r\nX.EXE", 5, false, kShiftJisLead),
         "Main application not started, WinExec 5: Access was denied to C:\\\x83\x5C<CR><LF>X.EXE"},
        {AwakeReleasedLine(HoldEnd::TimeLimit, 8ull * 3600 * 1000 + 59999),
         "Computer let go after 8 h 0 min: the time limit ran out"},
        {AwakeReleasedLine(HoldEnd::PersonCame, 61000), "Computer let go after 1 min 1 s: someone used the mouse or keyboard"},
        {NoticeDroppedLine("Vorlane was started late"),
         "Notice dropped, the taskbar did not take it in time: Vorlane was started late"},
        {SessionEndLine(kEndSessionLogoff | kEndSessionCritical), "Session ends: logoff, forced"},
        {SessionEndLine(kEndSessionCloseApp), "Session ends: closed for an installer or an update"},
        {SessionEndLine(0), "Session ends: shutdown or restart"}};
    for (const Case& c : cases) {
        EXPECT_EQ(c.text, c.expected);
        // Whatever the event, the line's only control characters are its end.
        const std::string line = LogLine("2026-12-08 03:00:01 +01:00", c.text);
        EXPECT_EQ(line, "2026-12-08 03:00:01 +01:00  " + c.expected + "\r\n");
    }
}

TEST(LogLine, MakesAnyTextOneBoundedLine) {
    const std::string line = LogLine("S", "a\r\nS  forged" + std::string(10000, 'x'));
    EXPECT_EQ(line, "S  a<CR><LF>S  forged" + std::string(kMaxLogTextBytes - 18, 'x') + "<cut, 10012 bytes in all>\r\n");
}

TEST(LogLineFits, KeepsAFileWithinItsBound) {
    constexpr std::uint64_t kBound = 256 * 1024;
    const struct Case { std::uint64_t file, line; bool fits; } cases[] = {
        {0, kBound, true}, {0, kBound + 1, false}, {kBound - 44, 44, true}, {kBound - 44, 45, false},
        {kBound + 1, 0, false}, {~0ull, 2, false}, {2, ~0ull, false}};
    for (const Case& c : cases) EXPECT_EQ(LogLineFits(c.file, c.line), c.fits) << c.file << " + " << c.line;
}
