// The lines of the decision log: why a launch was made, or not, in words that
// a user or support can read. Each event has a function that makes its text
// from typed inputs; LogLine puts the time in front. Everything that comes
// from outside (paths, command lines) passes through LogField, so that no
// input can break a line in two or make one absurdly long.
#pragma once

#include "core/DateTime.h"
#include "core/Paths.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vrln::core {

// ---- The line -------------------------------------------------------------------

// "2026-12-08 03:00:01 +01:00": the local date and time to the second, then
// the offset from UTC. biasMinutes as Windows gives it: UTC = local time + bias.
std::string LogTimeStamp(const DateTimeParts& local, int biasMinutes);

// A path may hold 32,767 characters; a field keeps this many bytes of it.
constexpr std::size_t kMaxLogFieldBytes = 1024;
// The text made safe for one line: every control character (below 0x20, and
// 0x7F) shown as <CR>, <LF>, <TAB> or <xHH>, as is a lead byte that no second
// byte of its character follows; other bytes, those of the ANSI code page's
// characters too, kept as they are. Windows forbids < and > in file names, so
// in a path such an escape cannot be mistaken for its own text. At most
// maxBytes bytes are kept, never half an escape or half a double-byte
// character, followed by "<cut, N bytes in all>" where the text was longer.
std::string LogField(std::string_view text, const LeadByteTest& isLeadByte = nullptr,
                     std::size_t maxBytes = kMaxLogFieldBytes);

// Bounds an event's text as a whole: a few fields and their words.
constexpr std::size_t kMaxLogTextBytes = 4096;
// The time stamp, two blanks, the event's text (made safe once more, for
// texts that were not made here), CR LF.
std::string LogLine(std::string_view timeStamp, std::string_view eventText,
                    const LeadByteTest& isLeadByte = nullptr);

// Each of the log's two files holds at most this many bytes.
constexpr std::uint64_t kMaxLogFileBytes = 256 * 1024;
// Whether a line of lineBytes still fits a file that holds fileBytes.
bool LogLineFits(std::uint64_t fileBytes, std::uint64_t lineBytes);

// ---- The events ------------------------------------------------------------------
// Moments are shown as "2026-12-08 03:00:00", local time like the stamp: the
// same for every reader, whatever the language of the user's Windows.

// Which record of the next launch the scheduler read at its start.
enum class RecordRead {
    None,               // neither the user's nor the machine's could be read
    Machine,            // the machine's, which this user may write
    User,               // the user's own
    MachineStandingIn,  // the user's is not complete yet: the machine's values stand in
    UserCompleted,      // the user's, completed from the machine's just now
};
std::string ProgramStartedLine(std::string_view version, bool standardUser, RecordRead record);
std::string ProgramStoppedLine();
// Completed later than at the start, once the main application let it be written.
std::string RecordCompletedLine();

enum class MomentSource { FoundAtStart, AnnouncedByMainApp };
// Also for a moment withdrawn (0).
std::string MomentReadLine(double moment, MomentSource source);

enum class ChangedBy { User, MainApp };
// Suspension (bit 0) and the minimised start (bit 1) in words, then both bytes.
std::string FlagsChangedLine(std::uint8_t before, std::uint8_t after, ChangedBy by);

// Whether the wake timer just set can wake the computer, and why not.
enum class WakeAbility {
    CanWake,
    PlanForbids,          // the power plan's "Allow wake timers" is off for the power source in use
    ImportantTimersOnly,  // it is "Important Wake Timers Only"
    ModernStandby,        // Modern Standby without S3, where a program's timer does not reliably wake it
    CannotResume,         // Windows answered that this computer cannot be woken
};
std::string WakeTimerSetLine(double moment, WakeAbility ability);
std::string WakeTimerNotSetLine(double moment, unsigned long error);
std::string WakeTimerCancelledLine();
std::string WakeTimerFiredLine();

std::string MomentDueLine(double moment);
// Who answered whether a network is up.
enum class NetworkJudge {
    ListManager,            // Windows' own verdict, from its Internet probe
    AdaptersProbeTurnedOff,  // the adapter rule: a policy turned that probe off
    AdaptersNoListManager,   // the adapter rule: the Network List Manager could not be asked
};
// A due moment waits for a network, as the judge found none.
std::string NetworkWaitLine(NetworkJudge judge);
// The wait for a network ended: one came after waitedMs, or none within the bound.
std::string NetworkAwaitedLine(bool up, NetworkJudge judge, std::uint64_t waitedMs);
// stored: the moment was written back as used, so the main application sees it gone.
std::string MomentConsumedLine(double moment, bool stored);
std::string MainAppStartedLine(std::string_view commandLine, unsigned showCommand,
                               const LeadByteTest& isLeadByte = nullptr);
// WinExec's result (31 or less) in the words of the failure's notification.
std::string MainAppNotStartedLine(std::string_view commandLine, unsigned winExecResult, bool notAProgram,
                                  const LeadByteTest& isLeadByte = nullptr);
std::string MainAppRunningLine();

std::string AwakeHeldLine();
enum class HoldEnd { MainAppEnded, PersonCame, TimeLimit, StartFailed, MomentWithdrawn, Stopped };
std::string AwakeReleasedLine(HoldEnd why, std::uint64_t heldMs);

std::string NoticeShownLine(std::string_view title);
// Dropped when the taskbar did not take it in time.
std::string NoticeDroppedLine(std::string_view title);

// WM_ENDSESSION's lParam, whose bits say why the session ends.
constexpr std::uint32_t kEndSessionCloseApp = 0x00000001;  // an installer or update (Restart Manager)
constexpr std::uint32_t kEndSessionCritical = 0x40000000;  // forced
constexpr std::uint32_t kEndSessionLogoff = 0x80000000;
std::string SessionEndLine(std::uint32_t endSessionFlags);

}  // namespace vrln::core
