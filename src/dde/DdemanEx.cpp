#include "dde/DdemanEx.h"

#include "core/Browser.h"
#include "win/Platform.h"

#include <algorithm>
#include <exception>
#include <utility>

namespace vrln {

TDdeMgr* GlobalDdeMgr = nullptr;

namespace {

DWORD CurrentInstanceId() noexcept { return GlobalDdeMgr ? GlobalDdeMgr->InstanceId() : 0; }

UniqueHsz MakeHsz(DWORD instance, const std::string& text) noexcept {
    if (text.size() > kMaxDdeStringChars) return {};
    return UniqueHsz(instance, ::DdeCreateStringHandleA(instance, text.c_str(), CP_WINANSI));
}

std::string OwnModulePath() {
    char path[MAX_PATH] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, path, sizeof path);
    return std::string(path, length < sizeof path ? length : 0);
}

bool PartnerStillConnected(HCONV conv) noexcept {
    CONVINFO info{};
    info.cb = sizeof info;
    if (!::DdeQueryConvInfo(conv, QID_SYNC, &info)) return false;
    return (info.wStatus & ST_CONNECTED) != 0 && (info.wStatus & ST_TERMINATED) == 0;
}

// A data handle from a transaction, freed on every path.
class DataHandle {
public:
    explicit DataHandle(HDDEDATA data) noexcept : data_(data) {}
    DataHandle(const DataHandle&) = delete;
    DataHandle& operator=(const DataHandle&) = delete;
    ~DataHandle() {
        if (data_) ::DdeFreeDataHandle(data_);
    }
    HDDEDATA get() const noexcept { return data_; }

private:
    HDDEDATA data_;
};

}  // namespace

std::string DdeErrorMessage(UINT code) {
    std::string message = "An error returned from DDE  ";
    if (code == DMLERR_LOW_MEMORY || code == DMLERR_MEMORY_ERROR) {
        message = "Error occurred when DDE ran out of memory ";
    } else if (code == DMLERR_NO_CONV_ESTABLISHED) {
        message = "DDE Error - conversation not established ";
    }
    // The code in hex by hand: printf would bring MinGW's whole printf into the program.
    std::string digits;
    do {
        digits.insert(digits.begin(), "0123456789ABCDEF"[code % 16]);
        code /= 16;
    } while (code != 0);
    return message + "($0" + digits + ")";
}

// ---- Manager ------------------------------------------------------------------

TDdeMgr::TDdeMgr() {
    const UINT result = ::DdeInitializeA(&InstanceId_, &TDdeMgr::DdemlCallback, 0, 0);
    if (result != DMLERR_NO_ERROR) {
        // A failed initialisation leaves no instance to ask for its last error.
        throw EDdeError(DdeErrorMessage(result));
    }
    try {
        RegisterOwnService(OwnModulePath());
    } catch (...) {
        ::DdeUninitialize(InstanceId_);
        throw;
    }
}

TDdeMgr::~TDdeMgr() {
    UnregisterOwnService();
    ::DdeUninitialize(InstanceId_);
    if (GlobalDdeMgr == this) GlobalDdeMgr = nullptr;
}

void TDdeMgr::RegisterOwnService(const std::string& filePath) {
    UnregisterOwnService();
    OwnServiceName_ = core::OwnDdeServiceNameOf(filePath, ::IsDBCSLeadByte);
    OwnServiceHsz_ = MakeHsz(InstanceId_, OwnServiceName_);
    ::DdeNameService(InstanceId_, OwnServiceHsz_.get(), nullptr, DNS_REGISTER);
}

void TDdeMgr::UnregisterOwnService() noexcept {
    if (OwnServiceHsz_) ::DdeNameService(InstanceId_, OwnServiceHsz_.get(), nullptr, DNS_UNREGISTER);
    OwnServiceHsz_.reset();
}

void TDdeMgr::CheckDdeResult(bool succeeded) const {
    if (!succeeded) throw EDdeError(DdeErrorMessage(::DdeGetLastError(InstanceId_)));
}

HDDEDATA CALLBACK TDdeMgr::DdemlCallback(UINT type, UINT, HCONV conv, HSZ, HSZ, HDDEDATA, ULONG_PTR,
                                         ULONG_PTR) {
    // The program serves nothing: connections (XTYP_CONNECT gets FALSE, XTYP_WILDCONNECT
    // no pairs) are refused, and other servers' registration notices are ignored.
    if (!conv || type != XTYP_DISCONNECT) return nullptr;
    try {
        CONVINFO info{};
        info.cb = sizeof info;
        if (!::DdeQueryConvInfo(conv, QID_SYNC, &info) || !info.hUser) return nullptr;
        // Only TDdeClientConv sets user handles, and it clears its own before it goes away.
        reinterpret_cast<TDdeClientConv*>(info.hUser)->PartnerDisconnected();
    } catch (...) {
        // The DDEML calls from C: nothing may unwind through it.
    }
    return nullptr;
}

// ---- Client conversation --------------------------------------------------------

TDdeClientConv::~TDdeClientConv() {
    try {
        CloseConversation();
    } catch (...) {
        // OnClose failed; the handles are released all the same.
    }
}

void TDdeClientConv::SetConnectMode(TDataMode value) {
    if (value == ConnectMode_) return;
    if (value == TDataMode::ddeAutomatic && !DdeService_.empty() && !DdeTopic_.empty()) {
        if (!OpenConversation()) throw Exception("Unable to connect DDE conversation");
    }
    ConnectMode_ = value;
}

bool TDdeClientConv::SetServiceTopic(const std::string& service, const std::string& topic) {
    CloseConversation();
    if (ConnectMode_ == TDataMode::ddeAutomatic) return ConnectTo(service, topic);
    DdeService_ = service;
    DdeTopic_ = topic;
    return true;
}

bool TDdeClientConv::ConnectTo(const std::string& service, const std::string& topic) {
    CloseConversation();
    DdeService_ = service;
    DdeTopic_ = topic;
    const bool opened = OpenConversation();
    if (!opened) {
        DdeService_.clear();
        DdeTopic_.clear();
    }
    return opened;
}

void TDdeClientConv::Connect() {
    // A name whose handle could not be made must not become "any service" or "any topic".
    if ((!DdeService_.empty() && !ServiceHsz_) || (!DdeTopic_.empty() && !TopicHsz_)) return;
    CONVCONTEXT context{};
    context.cb = sizeof context;
    context.iCodePage = CP_WINANSI;
    ConvHandle_ = ::DdeConnect(CurrentInstanceId(), ServiceHsz_.get(), TopicHsz_.get(), &context);
    if (!ConvHandle_) return;
    ConvInfo_ = CONVINFO{};
    ConvInfo_.cb = sizeof ConvInfo_;
    ::DdeQueryConvInfo(ConvHandle_, QID_SYNC, &ConvInfo_);
    ::DdeSetUserHandle(ConvHandle_, QID_SYNC, reinterpret_cast<DWORD_PTR>(this));
}

bool TDdeClientConv::OpenConversation() {
    if (ConvHandle_) return false;
    if (DdeService_.empty() && DdeTopic_.empty()) return false;
    // Outside the manager's life there is no DDE to connect with, so nothing is started either.
    if (!GlobalDdeMgr) return false;
    const DWORD instance = CurrentInstanceId();
    // An empty name stays without a handle, which the DDEML reads as "any".
    if (!ServiceHsz_ && !DdeService_.empty()) ServiceHsz_ = MakeHsz(instance, DdeService_);
    if (!TopicHsz_ && !DdeTopic_.empty()) TopicHsz_ = MakeHsz(instance, DdeTopic_);

    Connect();
    if (!ConvHandle_ && StartsServer_ && (!DdeService_.empty() || !ServiceApplication_.empty())) {
        const std::string commandLine =
            !ServiceApplication_.empty() ? ServiceApplication_ : DdeService_ + " " + DdeTopic_;
        // WinExec returns once the started program waits for input: one retry is enough.
        if (Platform().WinExec(commandLine.c_str(), SW_SHOWMINNOACTIVE) > 31) Connect();
    }
    if (!ConvHandle_) return false;
    DataFormat_ = ConvInfo_.wFmt != 0 ? ConvInfo_.wFmt : CF_TEXT;
    NotifyOpened();
    return true;
}

void TDdeClientConv::CloseConversation() {
    std::exception_ptr failure;
    if (ConvHandle_) {
        const HCONV conv = ConvHandle_;
        try {
            NotifyClosed();
        } catch (...) {
            failure = std::current_exception();
        }
        ConvHandle_ = nullptr;
        // The user handle goes first, so the disconnect notice finds no object.
        ::DdeSetUserHandle(conv, QID_SYNC, 0);
        ::DdeDisconnect(conv);
    }
    ServiceHsz_.reset();
    TopicHsz_.reset();
    DdeService_.clear();
    DdeTopic_.clear();
    if (failure) std::rethrow_exception(failure);
}

std::optional<std::string> TDdeClientConv::RequestText(const std::string& item) {
    RequestRefused_ = false;
    if (!ConvHandle_) return std::nullopt;
    const DWORD instance = CurrentInstanceId();
    UniqueHsz itemHsz = MakeHsz(instance, item);
    if (!itemHsz) return std::nullopt;
    DWORD result = 0;
    DataHandle data(::DdeClientTransaction(nullptr, 0, ConvHandle_, itemHsz.get(), DataFormat_, XTYP_REQUEST,
                                           kDdeRequestTimeoutMs, &result));
    itemHsz.reset();
    if (!data.get()) {
        RequestRefused_ = ::DdeGetLastError(instance) == DMLERR_NOTPROCESSED;
        if (ConvHandle_ && !PartnerStillConnected(ConvHandle_)) {
            // Wine's DDEML ends the conversation without XTYP_DISCONNECT to the
            // client; its status tells. As from the callback, OnClose cannot fail the request.
            const HCONV conv = ConvHandle_;
            try {
                PartnerDisconnected();
            } catch (...) {
            }
            // A disconnect notice that comes later must find no object: this one may be gone by then.
            ::DdeSetUserHandle(conv, QID_SYNC, 0);
            ::DdeDisconnect(conv);
        }
        return std::nullopt;
    }
    DWORD size = 0;
    const char* bytes = reinterpret_cast<const char*>(::DdeAccessData(data.get(), &size));
    if (!bytes) return std::nullopt;
    std::optional<std::string> text;
    try {
        text.emplace(bytes, std::find(bytes, bytes + size, '\0'));
    } catch (...) {
        ::DdeUnaccessData(data.get());
        throw;
    }
    ::DdeUnaccessData(data.get());
    return text;
}

void TDdeClientConv::PartnerDisconnected() {
    if (!ConvHandle_) return;
    std::exception_ptr failure;
    try {
        NotifyClosed();
    } catch (...) {
        failure = std::current_exception();
    }
    ConvHandle_ = nullptr;
    if (failure) std::rethrow_exception(failure);
}

void TDdeClientConv::NotifyClosed() {
    if (OnClose) OnClose(*this);
}

void TDdeClientConv::NotifyOpened() {
    if (OnOpen) OnOpen(*this);
}

}  // namespace vrln
