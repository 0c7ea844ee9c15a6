#include "core/LogLines.h"

#include "core/Texts.h"

#include <initializer_list>

namespace vrln::core {

namespace {

// The texts are built by appending, without snprintf or std::to_string: the
// shipped program's size is bounded, and in its build snprintf brings MinGW's
// printf and std::to_string of 64 bits its own digit routines.
void AppendNumber(std::string& text, std::uint64_t value, std::size_t width = 1) {
    char digits[20];
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    if (count < width) text.append(width - count, '0');
    while (count > 0) text += digits[--count];
}

// "<x1B>" into escape; its length.
std::size_t HexEscape(unsigned char byte, char (&escape)[6]) {
    const auto digit = [](unsigned value) { return static_cast<char>(value < 10 ? '0' + value : 'A' + value - 10); };
    escape[0] = '<', escape[1] = 'x', escape[2] = digit(byte >> 4), escape[3] = digit(byte & 0xF), escape[4] = '>';
    return 5;
}

// The escape that shows a control character; 0 for a byte kept as it is.
std::size_t EscapeOf(unsigned char byte, char (&escape)[6]) {
    const char* name = byte == '\t' ? "<TAB>" : byte == '\n' ? "<LF>" : byte == '\r' ? "<CR>" : nullptr;
    if (!name) return byte < 0x20 || byte == 0x7F ? HexEscape(byte, escape) : 0;
    std::size_t length = 0;
    for (; name[length] != '\0'; ++length) escape[length] = name[length];
    return length;
}

void AppendDateAndTime(std::string& text, const DateTimeParts& parts) {
    const int fields[] = {parts.year, parts.month, parts.day, parts.hour, parts.minute, parts.second};
    const char separators[] = " -- ::";  // before each field but the year
    for (std::size_t i = 0; i < 6; ++i) {
        if (i > 0) text += separators[i];
        AppendNumber(text, static_cast<std::uint64_t>(fields[i]), i == 0 ? 4 : 2);
    }
}

// One routine for every event's concatenation: a chain of string additions
// costs code and unwinding tables at each of them.
std::string Join(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) text += part;
    return text;
}

std::string Number(std::uint64_t value) {
    std::string text;
    AppendNumber(text, value);
    return text;
}

// "2026-12-08 03:00:00"; a moment that is no date says so.
std::string MomentText(double moment) {
    DateTimeParts parts;
    if (!DecodeDateTime(moment, parts)) return "that is not a date";
    std::string text;
    AppendDateAndTime(text, parts);
    return text;
}

// "45 s", "2 min 5 s", "8 h 0 min": whole units, counted down.
std::string DurationText(std::uint64_t ms) {
    const std::uint64_t seconds = ms / 1000;
    std::string text;
    if (seconds >= 3600) {
        AppendNumber(text, seconds / 3600);
        text += " h ";
        AppendNumber(text, seconds / 60 % 60);
        return text + " min";
    }
    if (seconds >= 60) {
        AppendNumber(text, seconds / 60);
        text += " min ";
    }
    AppendNumber(text, seconds % 60);
    return text + " s";
}

void AppendHexByte(std::string& text, std::uint8_t byte) {
    char escape[6];
    HexEscape(byte, escape);
    text += "0x";
    text.append(escape + 2, 2);
}

// "launches suspended, start minimised (state 0x00 to 0x03)".
std::string FlagWords(std::uint8_t before, std::uint8_t after) {
    const auto changed = [before, after](std::uint8_t bit) { return ((before ^ after) & bit) != 0; };
    std::string words;
    if (changed(kStateSuspended)) words += after & kStateSuspended ? "launches suspended, " : "launches resumed, ";
    if (changed(kStateMinimized)) words += after & kStateMinimized ? "start minimised, " : "start normally, ";
    if (!words.empty()) words.replace(words.size() - 2, 2, " ");
    words += "(state ";
    AppendHexByte(words, before);
    words += " to ";
    AppendHexByte(words, after);
    return words + ")";
}

const char* RecordWords(RecordRead record) {
    switch (record) {
        case RecordRead::None: return "none";
        case RecordRead::Machine: return "the machine's";
        case RecordRead::User: return "the user's";
        case RecordRead::MachineStandingIn: return "the machine's, standing in for the user's";
        case RecordRead::UserCompleted: return "the user's, completed from the machine's";
    }
    return "";
}

const char* WakeWords(WakeAbility ability) {
    switch (ability) {
        case WakeAbility::CanWake: return "it can wake the computer";
        case WakeAbility::PlanForbids: return "it cannot wake the computer: the power plan does not allow wake timers";
        case WakeAbility::ImportantTimersOnly:
            return "it cannot wake the computer: the power plan allows important wake timers only";
        case WakeAbility::ModernStandby: return "it may not wake the computer: it sleeps in Modern Standby, without S3";
        case WakeAbility::CannotResume: return "it cannot wake the computer: Windows says it cannot be woken";
    }
    return "";
}

const char* HoldEndWords(HoldEnd why) {
    switch (why) {
        case HoldEnd::MainAppEnded: return "the main application ended";
        case HoldEnd::PersonCame: return "someone used the mouse or keyboard";
        case HoldEnd::TimeLimit: return "the time limit ran out";
        case HoldEnd::StartFailed: return "the start failed";
        case HoldEnd::MomentWithdrawn: return "the moment was withdrawn";
        case HoldEnd::Stopped: return "the scheduler stopped";
    }
    return "";
}

}  // namespace

std::string LogTimeStamp(const DateTimeParts& local, int biasMinutes) {
    std::string text;
    AppendDateAndTime(text, local);
    // The bias counts the other way: a zone east of Greenwich has a negative one.
    const long long offset = -static_cast<long long>(biasMinutes);
    const auto minutes = static_cast<std::uint64_t>(offset < 0 ? -offset : offset);
    text += offset < 0 ? " -" : " +";
    AppendNumber(text, minutes / 60, 2);
    text += ':';
    AppendNumber(text, minutes % 60, 2);
    return text;
}

std::string LogField(std::string_view text, const LeadByteTest& isLeadByte, std::size_t maxBytes) {
    std::string field;
    char escape[6];
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        std::size_t escaped = EscapeOf(byte, escape), taken = 1;
        if (escaped == 0 && isLeadByte && isLeadByte(byte)) {
            // A lead byte and the byte after it are one character: kept or cut together.
            // One without a character's second byte after it is shown as a number, so
            // that the conversion for the file cannot join it to the next byte.
            if (at + 1 < text.size() && EscapeOf(static_cast<unsigned char>(text[at + 1]), escape) == 0)
                taken = 2;
            else
                escaped = HexEscape(byte, escape);
        }
        const std::string_view unit = escaped ? std::string_view(escape, escaped) : text.substr(at, taken);
        if (field.size() + unit.size() > maxBytes) {
            field += "<cut, ";
            AppendNumber(field, text.size());
            return field + " bytes in all>";
        }
        field += unit;
        at += taken;
    }
    return field;
}

std::string LogLine(std::string_view timeStamp, std::string_view eventText, const LeadByteTest& isLeadByte) {
    std::string line(timeStamp);
    line += "  ";
    line += LogField(eventText, isLeadByte, kMaxLogTextBytes);
    return line + "\r\n";
}

bool LogLineFits(std::uint64_t fileBytes, std::uint64_t lineBytes) {
    return lineBytes <= kMaxLogFileBytes && fileBytes <= kMaxLogFileBytes - lineBytes;
}

std::string ProgramStartedLine(std::string_view version, bool standardUser, RecordRead record) {
    return Join({"Started: version ", LogField(version), standardUser ? ", standard user" : ", administrator",
                 ", record read: ", RecordWords(record)});
}

std::string ProgramStoppedLine() { return "Stopped"; }

std::string RecordCompletedLine() { return "The user's record completed from the machine's"; }

std::string MomentReadLine(double moment, MomentSource source) {
    const char* from = source == MomentSource::FoundAtStart ? ", found at start" : ", announced by the main application";
    return moment == 0 ? Join({"No moment planned", from}) : Join({"New moment ", MomentText(moment), from});
}

std::string FlagsChangedLine(std::uint8_t before, std::uint8_t after, ChangedBy by) {
    return Join({"Flags changed by ", by == ChangedBy::User ? "the user: " : "the main application: ",
                 FlagWords(before, after)});
}

std::string WakeTimerSetLine(double moment, WakeAbility ability) {
    return Join({"Wake timer set for ", MomentText(moment), "; ", WakeWords(ability)});
}

std::string WakeTimerNotSetLine(double moment, unsigned long error) {
    return Join({"Wake timer not set for ", MomentText(moment), ": Windows reported error ", Number(error)});
}

std::string WakeTimerCancelledLine() { return "Wake timer cancelled"; }

std::string WakeTimerFiredLine() { return "Wake timer fired"; }

std::string MomentDueLine(double moment) { return Join({"Moment ", MomentText(moment), " is due"}); }

namespace {
// What the judge answered, and which judge it was where that is not Windows' own verdict.
std::string NetworkAnswerWords(bool up, NetworkJudge judge) {
    const bool windows = judge == NetworkJudge::ListManager;
    const char* answer = windows ? (up ? ": the Network List Manager reports the Internet"
                                       : ": the Network List Manager reports no Internet")
                                 : (up ? ": a hardware adapter with an address and a gateway is up"
                                       : ": no hardware adapter with an address and a gateway is up");
    const char* judged = windows ? ""
                         : judge == NetworkJudge::AdaptersProbeTurnedOff ? " (Windows' Internet probe is turned off)"
                                                                        : " (the Network List Manager could not be asked)";
    return Join({answer, judged});
}
}  // namespace

std::string NetworkWaitLine(NetworkJudge judge) { return "Waiting for a network" + NetworkAnswerWords(false, judge); }

std::string NetworkAwaitedLine(bool up, NetworkJudge judge, std::uint64_t waitedMs) {
    if (up && waitedMs < 1000) return "Network up at once" + NetworkAnswerWords(up, judge);
    return Join(
        {up ? "Network up after " : "No network after ", DurationText(waitedMs), NetworkAnswerWords(up, judge)});
}

std::string MomentConsumedLine(double moment, bool stored) {
    return Join({"Moment ", MomentText(moment), stored ? " used up" : " used up, but it could not be stored as used"});
}

std::string MainAppStartedLine(std::string_view commandLine, unsigned showCommand, const LeadByteTest& isLeadByte) {
    const std::string how = showCommand == 1   ? "shown normally (SW_SHOWNORMAL)"
                            : showCommand == 2 ? "minimised (SW_SHOWMINIMIZED)"
                                               : "show command " + Number(showCommand);
    return Join({"Main application started, ", how, ": ", LogField(commandLine, isLeadByte)});
}

std::string MainAppNotStartedLine(std::string_view commandLine, unsigned winExecResult, bool notAProgram,
                                  const LeadByteTest& isLeadByte) {
    return Join({"Main application not started, WinExec ", Number(winExecResult), ": ",
                 LaunchFailureReason(winExecResult, notAProgram), " ", LogField(commandLine, isLeadByte)});
}

std::string MainAppRunningLine() { return "Main application already running: not started"; }

std::string AwakeHeldLine() { return "Computer kept awake for the launch"; }

std::string AwakeReleasedLine(HoldEnd why, std::uint64_t heldMs) {
    return Join({"Computer let go after ", DurationText(heldMs), ": ", HoldEndWords(why)});
}

std::string NoticeShownLine(std::string_view title) { return Join({"Notice shown: ", LogField(title)}); }

std::string NoticeDroppedLine(std::string_view title) {
    return Join({"Notice dropped, the taskbar did not take it in time: ", LogField(title)});
}

std::string SessionEndLine(std::uint32_t endSessionFlags) {
    const char* why = (endSessionFlags & kEndSessionCloseApp) != 0 ? "closed for an installer or an update"
                      : (endSessionFlags & kEndSessionLogoff) != 0 ? "logoff"
                                                                   : "shutdown or restart";
    return Join({"Session ends: ", why, (endSessionFlags & kEndSessionCritical) != 0 ? ", forced" : ""});
}

}  // namespace vrln::core
