// Opens a page in the user's web browser: first by a "WWW_OpenURL" request to
// a running browser over DDE, else by starting the browser with the page on
// its command line. The browser is chosen once, at construction.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace vrln {

class TDdeMgr;
class TDdeClientConv;

class TBrowser {
public:
    // Creates the program's DDE manager (and sets GlobalDdeMgr), then chooses
    // the browser: the main application's setting, else FindRegistryBrowser's.
    // Throws EDdeError when the DDE manager cannot be created.
    TBrowser();
    virtual ~TBrowser();
    TBrowser(const TBrowser&) = delete;
    TBrowser& operator=(const TBrowser&) = delete;

    // Shows the wait cursor while it asks a running browser over DDE, or
    // starts the browser. Failures stay quiet.
    void OpenPage(const std::string& page);
    // Full path of the chosen browser, or empty when none was found.
    const std::string& BrowserExe() const noexcept { return BrowserExe_; }
    // The browser's DDE service: its file name upper-cased, cut before the first '.'.
    std::string DdeServiceName() const;

    // The browser that the user chose in Windows' settings for ".htm" files or
    // http links, else the one that opens ".htm" files; with long names, or empty.
    static std::string FindRegistryBrowser();
    // Every component of an existing path as a directory search names it.
    static std::string ExpandLongPath(const std::string& path);
    // The name a directory search reports for the path's last component, or empty.
    static std::string LongNameOfItem(const std::string& path);

private:
    void SetBrowserExe(const std::string& path);
    bool OpenByDde(const std::string& page);
    // The conversation belongs to the OpenByDde that made it, not to this
    // object: a call entered again while a request waits cannot take it away.
    static bool RequestOnTopic(TDdeClientConv& conversation, const std::string& topic, const std::string& item,
                               std::optional<std::string>& reply);
    static bool ConnectTopic(TDdeClientConv& conversation, const std::string& topic);
    void RunBrowser(const std::string& page);

    std::unique_ptr<TDdeMgr> DdeMgr_;
    std::string BrowserExe_;
};

// Takes one message from the thread's queue and dispatches it; a WM_QUIT is
// posted again so that the message loop still ends. False when the queue was empty.
bool ProcessOneMessage();

}  // namespace vrln
