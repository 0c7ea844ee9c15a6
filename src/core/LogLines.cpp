#include "core/LogLines.h"

#include "core/Texts.h"

namespace vrln::core {

namespace {

// Not snprintf: in the Windows build that brings MinGW's printf into the shipped program.
void AppendPadded(std::string& text, long long value, std::size_t width) {
    const std::string digits = std::to_string(value);
    if (digits.size() < width) text.append(width - digits.size(), '0');
    text += digits;
}

void AppendHexByte(std::string& text, unsigned value) {
    constexpr char kDigits[] = "0123456789ABCDEF";
    text += kDigits[(value >> 4) & 0xF];
    text += kDigits[value & 0xF];
}

// "2026-12-08 03:00:00"; a moment that is no date says so.
std::string MomentText(double moment) {
    DateTimeParts parts;
    if (!DecodeDateTime(moment, parts)) return "that is not a date";
    std::string text;
    AppendPadded(text, parts.year, 4);
    text += '-';
    AppendPadded(text, parts.month, 2);
    text += '-';
    AppendPadded(text, parts.day, 2);
    text += ' ';
    AppendPadded(text, parts.hour, 2);
    text += ':';
    AppendPadded(text, parts.minute, 2);
    text += ':';
    AppendPadded(text, parts.second, 2);
    return text;
}

// "45 s", "2 min 5 s", "8 h 0 min": whole units, counted down.
std::string DurationText(std::uint64_t ms) {
    const std::uint64_t seconds = ms / 1000, minutes = seconds / 60, hours = minutes / 60;
    if (hours > 0) return std::to_string(hours) + " h " + std::to_string(minutes % 60) + " min";
    if (minutes > 0) return std::to_string(minutes) + " min " + std::to_string(seconds % 60) + " s";
    return std::to_string(seconds) + " s";
}

// The escape that shows a control character, or empty for a byte kept as it is.
std::string EscapeOf(unsigned char byte) {
    switch (byte) {
        case '\t': return "<TAB>";
        case '\n': return "<LF>";
        case '\r': return "<CR>";
        default: break;
    }
    if (byte >= 0x20 && byte != 0x7F) return {};
    std::string escape = "<x";
    AppendHexByte(escape, byte);
    return escape + ">";
}

std::string FlagWords(std::uint8_t before, std::uint8_t after) {
    std::string words;
    const auto add = [&words](const char* word) { words += words.empty() ? word : std::string(", ") + word; };
    if ((before ^ after) & kStateSuspended) add(after & kStateSuspended ? "launches suspended" : "launches resumed");
    if ((before ^ after) & kStateMinimized) add(after & kStateMinimized ? "start minimised" : "start normally");
    if (!words.empty()) words += ' ';
    words += "(state 0x";
    AppendHexByte(words, before);
    words += " to 0x";
    AppendHexByte(words, after);
    return words + ")";
}

}  // namespace

std::string LogTimeStamp(const DateTimeParts& local, int biasMinutes) {
    std::string text;
    AppendPadded(text, local.year, 4);
    text += '-';
    AppendPadded(text, local.month, 2);
    text += '-';
    AppendPadded(text, local.day, 2);
    text += ' ';
    AppendPadded(text, local.hour, 2);
    text += ':';
    AppendPadded(text, local.minute, 2);
    text += ':';
    AppendPadded(text, local.second, 2);
    // The bias counts the other way: a zone east of Greenwich has a negative one.
    const long long offset = -static_cast<long long>(biasMinutes);
    text += offset < 0 ? " -" : " +";
    const long long minutes = offset < 0 ? -offset : offset;
    AppendPadded(text, minutes / 60, 2);
    text += ':';
    AppendPadded(text, minutes % 60, 2);
    return text;
}

std::string LogField(std::string_view text, const LeadByteTest& isLeadByte, std::size_t maxBytes) {
    std::string field;
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        std::string unit = EscapeOf(byte);
        std::size_t taken = 1;
        if (unit.empty() && isLeadByte && isLeadByte(byte)) {
            // A lead byte and the byte after it are one character: kept or cut together.
            // One without a character's second byte after it is shown as a number, so
            // that the conversion for the file cannot join it to the next byte.
            if (at + 1 < text.size() && EscapeOf(static_cast<unsigned char>(text[at + 1])).empty()) {
                taken = 2;
            } else {
                unit = "<x";
                AppendHexByte(unit, byte);
                unit += '>';
            }
        }
        if (unit.empty()) unit = std::string(text.substr(at, taken));
        if (field.size() + unit.size() > maxBytes) {
            return field + "<cut, " + std::to_string(text.size()) + " bytes in all>";
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
    std::string text = "Started: version " + LogField(version) +
                       (standardUser ? ", standard user" : ", administrator") + ", record read: ";
    switch (record) {
        case RecordRead::None: return text + "none";
        case RecordRead::Machine: return text + "the machine's";
        case RecordRead::User: return text + "the user's";
        case RecordRead::MachineStandingIn: return text + "the machine's, standing in for the user's";
        case RecordRead::UserCompleted: return text + "the user's, completed from the machine's";
    }
    return text;
}

std::string ProgramStoppedLine() { return "Stopped"; }

std::string RecordCompletedLine() { return "The user's record completed from the machine's"; }

std::string MomentReadLine(double moment, MomentSource source) {
    const char* from = source == MomentSource::FoundAtStart ? ", found at start" : ", announced by the main application";
    if (moment == 0) return std::string("No moment planned") + from;
    return "New moment " + MomentText(moment) + from;
}

std::string FlagsChangedLine(std::uint8_t before, std::uint8_t after, ChangedBy by) {
    return std::string("Flags changed by ") + (by == ChangedBy::User ? "the user: " : "the main application: ") +
           FlagWords(before, after);
}

std::string WakeTimerSetLine(double moment, WakeAbility ability) {
    std::string text = "Wake timer set for " + MomentText(moment);
    switch (ability) {
        case WakeAbility::CanWake: return text + "; it can wake the computer";
        case WakeAbility::PlanForbids:
            return text + "; it cannot wake the computer: the power plan does not allow wake timers";
        case WakeAbility::ImportantTimersOnly:
            return text + "; it cannot wake the computer: the power plan allows important wake timers only";
        case WakeAbility::ModernStandby:
            return text + "; it may not wake the computer: it sleeps in Modern Standby, without S3";
        case WakeAbility::CannotResume: return text + "; it cannot wake the computer: Windows says it cannot be woken";
    }
    return text;
}

std::string WakeTimerNotSetLine(double moment, unsigned long error) {
    return "Wake timer not set for " + MomentText(moment) + ": Windows reported error " + std::to_string(error);
}

std::string WakeTimerCancelledLine() { return "Wake timer cancelled"; }

std::string WakeTimerFiredLine() { return "Wake timer fired"; }

std::string MomentDueLine(double moment) { return "Moment " + MomentText(moment) + " is due"; }

std::string NetworkAwaitedLine(bool up, NetworkJudge judge, std::uint64_t waitedMs) {
    std::string text = up ? (waitedMs < 1000 ? "Network up at once" : "Network up after " + DurationText(waitedMs))
                          : "No network after " + DurationText(waitedMs);
    if (judge == NetworkJudge::ListManager)
        return text + (up ? ": the Network List Manager reports the Internet"
                          : ": the Network List Manager reports no Internet");
    text += up ? ": a hardware adapter with an address and a gateway is up"
               : ": no hardware adapter with an address and a gateway is up";
    return text + (judge == NetworkJudge::AdaptersProbeTurnedOff ? " (Windows' Internet probe is turned off)"
                                                                 : " (the Network List Manager could not be asked)");
}

std::string MomentConsumedLine(double moment, bool stored) {
    return "Moment " + MomentText(moment) + (stored ? " used up" : " used up, but it could not be stored as used");
}

std::string MainAppStartedLine(std::string_view commandLine, unsigned showCommand, const LeadByteTest& isLeadByte) {
    std::string how;
    switch (showCommand) {
        case 1: how = "shown normally (SW_SHOWNORMAL)"; break;
        case 2: how = "minimised (SW_SHOWMINIMIZED)"; break;
        default: how = "show command " + std::to_string(showCommand); break;
    }
    return "Main application started, " + how + ": " + LogField(commandLine, isLeadByte);
}

std::string MainAppNotStartedLine(std::string_view commandLine, unsigned winExecResult, bool notAProgram,
                                  const LeadByteTest& isLeadByte) {
    return "Main application not started, WinExec " + std::to_string(winExecResult) + ": " +
           LaunchFailureReason(winExecResult, notAProgram) + " " + LogField(commandLine, isLeadByte);
}

std::string MainAppRunningLine() { return "Main application already running: not started"; }

std::string AwakeHeldLine() { return "Computer kept awake for the launch"; }

std::string AwakeReleasedLine(HoldEnd why, std::uint64_t heldMs) {
    std::string text = "Computer let go after " + DurationText(heldMs) + ": ";
    switch (why) {
        case HoldEnd::MainAppEnded: return text + "the main application ended";
        case HoldEnd::PersonCame: return text + "someone used the mouse or keyboard";
        case HoldEnd::TimeLimit: return text + "the time limit ran out";
        case HoldEnd::StartFailed: return text + "the start failed";
        case HoldEnd::MomentWithdrawn: return text + "the moment was withdrawn";
        case HoldEnd::Stopped: return text + "the scheduler stopped";
    }
    return text;
}

std::string NoticeShownLine(std::string_view title) { return "Notice shown: " + LogField(title); }

std::string NoticeDroppedLine(std::string_view title) {
    return "Notice dropped, the taskbar did not take it in time: " + LogField(title);
}

std::string SessionEndLine(std::uint32_t endSessionFlags) {
    std::string text = "Session ends: ";
    if (endSessionFlags & kEndSessionCloseApp)
        text += "closed for an installer or an update";
    else if (endSessionFlags & kEndSessionLogoff)
        text += "logoff";
    else
        text += "shutdown or restart";
    return endSessionFlags & kEndSessionCritical ? text + ", forced" : text;
}

}  // namespace vrln::core
