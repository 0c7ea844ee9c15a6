// Texts that the tray shows: menu items of the local webs and the tooltip.
#pragma once

#include "core/Paths.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vrln::core {

// "&" + (index + 1) + " " + title, the title cut to its first 30 characters
// followed by "..." when it is longer than 30.
std::string WebMenuItemText(std::size_t index, std::string_view title);

// "<Suspended>" when bit 0 of the state is set, "<Waiting for a network
// connection>" while a due launch waits for one, "<No task is waiting to run>"
// when there is no next launch, else "<Next launch at %s>".
std::string TooltipText(std::uint8_t state, std::string_view nextLaunchText, bool waitingForNetwork = false);

// The notification that tells of a start of the main application that failed.
constexpr const char* kLaunchFailureTitle = "Vorlane was not started";
// The reason in words for WinExec's result (31 or less), a line break, then the
// path. notAProgram: the file itself shows that it is no Windows program.
std::string LaunchFailureText(std::string_view path, unsigned winExecResult, bool notAProgram);
// The reason alone; its last word leads to the path ("The file was not found:", "Access was denied to").
std::string LaunchFailureReason(unsigned winExecResult, bool notAProgram);
// How much of a file HeadShowsNoProgram needs: its first bytes, all of them when it is shorter.
constexpr std::size_t kProgramHeadBytes = 4096;
// Whether a file that begins with these bytes cannot be a Windows program: it is
// shorter than a DOS header, does not begin with "MZ", or the offset at 0x3C
// does not lead to "PE\0\0" (or leads past the end of a head that is the whole
// file). False while a head cut at kProgramHeadBytes ends before that offset.
bool HeadShowsNoProgram(std::string_view head);
// A notification's text holds 255 characters and the terminating NUL.
constexpr std::size_t kMaxInfoChars = 255;
// The text's first maxChars bytes, one less where the last would open a double-byte character.
std::string CutText(std::string_view text, std::size_t maxChars, const LeadByteTest& isLeadByte = nullptr);

// The notification area's tip holds 63 characters and the terminating NUL.
constexpr std::size_t kMaxTipChars = 63;
std::string CutTip(std::string_view text);

}  // namespace vrln::core
