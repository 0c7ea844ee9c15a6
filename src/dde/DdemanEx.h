// A thin layer over the platform's DDE Management Library: one DDEML instance
// for the program (TDdeMgr), which registers the program's own service name
// and refuses every incoming conversation, and client conversations over it
// (TDdeClientConv) that connect, optionally start their server, and send
// synchronous text requests. Everything runs on the thread that created the
// manager.
#pragma once

#include "win/Handles.h"

#include <windows.h>
#include <ddeml.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <exception>
#include <string>
#include <utility>

namespace vrln {

// The DDEML keeps string handles in atoms, which hold at most 255 characters.
constexpr std::size_t kMaxDdeStringChars = 255;
// How long RequestText waits for the server's answer.
constexpr DWORD kDdeRequestTimeoutMs = 10000;

// The general exception of this layer: a message. Not std::runtime_error, whose
// reference-counted string alone would take a sixth of the shipped file.
class Exception : public std::exception {
public:
    explicit Exception(std::string message) : Message(std::move(message)) {}
    const char* what() const noexcept override { return Message.c_str(); }

private:
    std::string Message;
};

// Raised when the DDEML cannot be initialised.
class EDdeError : public Exception {
public:
    using Exception::Exception;
};

// The message of EDdeError for a DDEML error code, the code in upper-case hex:
// DMLERR_NO_CONV_ESTABLISHED gives "DDE Error - conversation not established ($0400A)".
std::string DdeErrorMessage(UINT code);

class TDdeMgr {
public:
    // Initialises the DDEML and registers the program's own service name.
    // Throws EDdeError when the DDEML cannot be initialised.
    TDdeMgr();
    virtual ~TDdeMgr();
    TDdeMgr(const TDdeMgr&) = delete;
    TDdeMgr& operator=(const TDdeMgr&) = delete;

    const std::string& OwnServiceName() const noexcept { return OwnServiceName_; }
    DWORD InstanceId() const noexcept { return InstanceId_; }

    // Registers the file name of the path, cut before its first '.', as this
    // instance's service name, replacing any earlier one.
    void RegisterOwnService(const std::string& filePath);
    void UnregisterOwnService() noexcept;
    // Throws EDdeError for the instance's last error unless succeeded.
    void CheckDdeResult(bool succeeded) const;

private:
    static HDDEDATA CALLBACK DdemlCallback(UINT type, UINT format, HCONV conv, HSZ hsz1, HSZ hsz2,
                                           HDDEDATA data, ULONG_PTR data1, ULONG_PTR data2);

    std::string OwnServiceName_;
    UniqueHsz OwnServiceHsz_;
    DWORD InstanceId_ = 0;
};

// The program's one manager; set by whoever creates it, used by every conversation.
extern TDdeMgr* GlobalDdeMgr;

enum class TDataMode : std::uint8_t { ddeAutomatic = 0, ddeManual = 1 };

class TDdeClientConv {
public:
    using TNotifyEvent = std::function<void(TDdeClientConv& sender)>;

    TDdeClientConv() = default;
    // Closes an open conversation; an exception from OnClose is swallowed here.
    virtual ~TDdeClientConv();
    TDdeClientConv(const TDdeClientConv&) = delete;
    TDdeClientConv& operator=(const TDdeClientConv&) = delete;

    // Command line started when a connection finds no server.
    const std::string& ServiceApplication() const noexcept { return ServiceApplication_; }
    void SetServiceApplication(const std::string& value) { ServiceApplication_ = value; }
    const std::string& DdeService() const noexcept { return DdeService_; }
    const std::string& DdeTopic() const noexcept { return DdeTopic_; }
    TDataMode ConnectMode() const noexcept { return ConnectMode_; }
    // Switching to ddeAutomatic with both names set connects at once and
    // throws Exception("Unable to connect DDE conversation") when
    // that fails; the mode then stays as it was.
    void SetConnectMode(TDataMode value);
    bool FormatChars() const noexcept { return FormatChars_; }
    void SetFormatChars(bool value) noexcept { FormatChars_ = value; }
    // Whether a connection that finds no server starts ServiceApplication (or
    // "service topic") and tries once more; on by default. A caller that must
    // never start a program by a bare name, which the platform looks for in
    // the current folder and on PATH, turns it off.
    bool StartsServer() const noexcept { return StartsServer_; }
    void SetStartsServer(bool value) noexcept { StartsServer_ = value; }

    TNotifyEvent OnClose;
    TNotifyEvent OnOpen;

    // Closes any conversation; ddeManual stores the names and returns true,
    // ddeAutomatic connects to them (ConnectTo).
    bool SetServiceTopic(const std::string& service, const std::string& topic);
    // Closes any conversation, stores the names and opens; on failure the names are emptied.
    bool ConnectTo(const std::string& service, const std::string& topic);
    // True when this call established a conversation with the stored names,
    // possibly after starting ServiceApplication (or "service topic") once.
    bool OpenConversation();
    // Ends the conversation (OnClose when one was open), frees the string
    // handles and empties both names. ServiceApplication stays.
    void CloseConversation();
    // A synchronous CF_TEXT request; the reply up to its first NUL, or nothing
    // when there is no conversation, the item cannot be sent, or no data came.
    std::optional<std::string> RequestText(const std::string& item);
    // The server answered the last request with a refusal (DMLERR_NOTPROCESSED),
    // as opposed to no answer in time, which it may still act upon.
    bool RequestRefused() const noexcept { return RequestRefused_; }
    // The partner ended the conversation: OnClose, and the handle is forgotten.
    void PartnerDisconnected();

    bool Connected() const noexcept { return ConvHandle_ != nullptr; }
    HCONV ConvHandle() const noexcept { return ConvHandle_; }
    UINT DataFormat() const noexcept { return DataFormat_; }

protected:
    virtual void NotifyClosed();
    virtual void NotifyOpened();

private:
    void Connect();

    std::string ServiceApplication_;
    std::string DdeService_;
    std::string DdeTopic_;
    TDataMode ConnectMode_ = TDataMode::ddeAutomatic;
    bool FormatChars_ = false;
    bool StartsServer_ = true;
    bool RequestRefused_ = false;

    HCONV ConvHandle_ = nullptr;
    CONVINFO ConvInfo_{};
    UniqueHsz ServiceHsz_;
    UniqueHsz TopicHsz_;
    UINT DataFormat_ = 0;
};

}  // namespace vrln
