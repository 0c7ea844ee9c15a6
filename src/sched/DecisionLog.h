// The decision log: a short record of why a launch was made, or not, that a
// user or support can read in Notepad. Its lines come from core/LogLines.h.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vrln {

// "%LOCALAPPDATA%\Vorlane\", or empty where Windows names no such folder.
std::string DefaultLogFolder();

// A whole line, stamped when its event happened: the local time, its offset
// from UTC, the text made safe, CR LF. Only StampedLogLine makes one, so no
// text reaches the file without being made safe.
class TLogLine {
public:
    const std::string& Text() const { return Text_; }

private:
    explicit TLogLine(std::string text) : Text_(std::move(text)) {}
    friend TLogLine StampedLogLine(std::string_view eventText);
    std::string Text_;
};
// The line of an event that happens now. It keeps no state, so any thread may
// make one: the window makes its lines so and hands them to the log's owner.
TLogLine StampedLogLine(std::string_view eventText);
// Whether this process has no more than a standard user's rights: its token
// is not elevated and holds no enabled Administrators group (under UAC an
// administrator's programs run with that group turned off).
bool RunsAsStandardUser();

// Appends lines to VrlnSchd.log in its folder; when a line would take that
// file beyond its bound, the file becomes VrlnSchd.old.log, replacing the
// one before: never more than two files. Each line opens, appends and closes,
// so no handle stays open between lines and an editor may open the file at
// any time. A line that cannot be written is dropped: nothing is retried and
// nothing reported, for a launch must never wait on its log.
// Not thread-safe: it has one owner (the worker); other threads hand it
// their lines, so that one object alone decides when the files turn over.
class TDecisionLog {
public:
    static constexpr const char* kFileName = "VrlnSchd.log";
    static constexpr const char* kOlderFileName = "VrlnSchd.old.log";

    // The folder is made when the first line is written.
    explicit TDecisionLog(std::string folder = DefaultLogFolder());

    // The event as one line stamped now; false when it was dropped.
    bool Write(std::string_view eventText) noexcept;
    // A line made earlier, perhaps on another thread.
    bool WriteLine(const TLogLine& line) noexcept;

    const std::string& Folder() const { return Folder_; }

private:
    bool Append(const std::string& utf8Line);

    std::string Folder_;  // with its trailing backslash
};

// The lines of one cycle of the worker, noted as its decisions fall and
// written once the cycle is over, so that a launch never waits for the file.
// The worker's own, like the log.
class TLogQueue {
public:
    // Notes the text that make returns; a line that cannot be made is dropped,
    // and the decision goes on.
    template <typename Make>
    void Note(Make&& make) noexcept {
        try {
            Texts.push_back(make());
        } catch (...) {
        }
    }
    // A line stamped earlier, by another thread.
    void Add(TLogLine line) noexcept;
    // Writes what was noted, the lines stamped earlier first; empties the queue.
    void Flush(TDecisionLog& log) noexcept;

private:
    std::vector<TLogLine> Stamped;
    std::vector<std::string> Texts;
};

// Notes a line where there is a queue to note it in.
template <typename Make>
void Note(TLogQueue* queue, Make&& make) noexcept {
    if (queue) queue->Note(std::forward<Make>(make));
}

}  // namespace vrln
