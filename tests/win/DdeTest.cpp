// The DDE layer against the stand-in browser, which serves BROWSE on the topic
// "WWW_OpenURL" in a process of its own and logs every request item it gets.
#include "dde/DdemanEx.h"

#include "WebsTestSupport.h"

#include <gtest/gtest.h>

#include <memory>
#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

using namespace vrln;
using namespace vrln::test;

namespace {

constexpr const char* kTopic = "WWW_OpenURL";
const std::string kItem = "\"C:\\My Webs\\A Site\\_home.htm\",,0xffffffff,0x00000000,,,";

class DdeTest : public ::testing::Test {
protected:
    void SetUp() override {
        manager_ = std::make_unique<TDdeMgr>();
        GlobalDdeMgr = manager_.get();
        log_ = dir_.Path() + "browser.log";
    }
    void TearDown() override {
        StopAllStandinBrowsers();
        manager_.reset();
        EXPECT_EQ(GlobalDdeMgr, nullptr);
    }

    // A manual conversation with BROWSE on the topic, counting its events.
    std::unique_ptr<TDdeClientConv> NewConversation() {
        auto conversation = std::make_unique<TDdeClientConv>();
        conversation->SetConnectMode(TDataMode::ddeManual);
        conversation->OnOpen = [this](TDdeClientConv&) { ++opened_; };
        conversation->OnClose = [this](TDdeClientConv&) { ++closed_; };
        EXPECT_TRUE(conversation->SetServiceTopic("BROWSE", kTopic));
        return conversation;
    }

    std::unique_ptr<TDdeMgr> manager_;
    TempDir dir_;
    std::string log_;
    int opened_ = 0;
    int closed_ = 0;
};

}  // namespace

TEST(DdeErrorMessage, NamesTheCodeInUpperCaseHex) {
    EXPECT_EQ(DdeErrorMessage(DMLERR_NO_CONV_ESTABLISHED), "DDE Error - conversation not established ($0400A)");
    EXPECT_EQ(DdeErrorMessage(DMLERR_LOW_MEMORY), "Error occurred when DDE ran out of memory ($04007)");
    EXPECT_EQ(DdeErrorMessage(DMLERR_MEMORY_ERROR), "Error occurred when DDE ran out of memory ($04008)");
    EXPECT_EQ(DdeErrorMessage(DMLERR_SYS_ERROR), "An error returned from DDE  ($0400F)");
}

TEST_F(DdeTest, ConversationDeliversTheExactItemToARunningServer) {
    StandinBrowser browser("normal", log_);
    ASSERT_TRUE(browser.Started());
    WinExecRecorder winExec;
    auto conversation = NewConversation();
    EXPECT_EQ(opened_, 0);  // manual mode: naming the partner does not connect

    ASSERT_TRUE(conversation->OpenConversation());
    EXPECT_EQ(opened_, 1);
    EXPECT_EQ(conversation->DataFormat(), static_cast<UINT>(CF_TEXT));
    // The reply "ok\0ignored" is cut at its NUL.
    EXPECT_EQ(conversation->RequestText(kItem), std::optional<std::string>("ok"));
    EXPECT_TRUE(WaitForLogLine(log_, "request " + kItem));
    EXPECT_TRUE(winExec.Calls().empty());

    conversation->CloseConversation();
    EXPECT_EQ(closed_, 1);
    EXPECT_EQ(conversation->DdeService(), "");
    EXPECT_EQ(conversation->DdeTopic(), "");
}

TEST_F(DdeTest, OpenConversationOnAnOpenConversationChangesNothing) {
    StandinBrowser browser("normal", log_);
    auto conversation = NewConversation();
    ASSERT_TRUE(conversation->OpenConversation());
    EXPECT_FALSE(conversation->OpenConversation());
    EXPECT_EQ(opened_, 1);
    EXPECT_TRUE(conversation->Connected());
    // Still usable.
    EXPECT_EQ(conversation->RequestText("second"), std::optional<std::string>("ok"));
}

TEST_F(DdeTest, SwitchingAnOpenConversationToAutomaticRaises) {
    StandinBrowser browser("normal", log_);
    auto conversation = NewConversation();
    ASSERT_TRUE(conversation->OpenConversation());
    try {
        conversation->SetConnectMode(TDataMode::ddeAutomatic);
        FAIL() << "no exception";
    } catch (const EDdeError&) {
        FAIL() << "the general exception class is expected";
    } catch (const Exception& error) {
        EXPECT_STREQ(error.what(), "Unable to connect DDE conversation");
    }
    EXPECT_EQ(conversation->ConnectMode(), TDataMode::ddeManual);

    // SetServiceTopic closes the open conversation first.
    EXPECT_TRUE(conversation->SetServiceTopic("OTHER", "Topic"));
    EXPECT_EQ(closed_, 1);
    EXPECT_FALSE(conversation->Connected());
    EXPECT_EQ(conversation->DdeService(), "OTHER");
}

TEST_F(DdeTest, BothNamesEmptyNeverConnectsNorStartsAnything) {
    WinExecRecorder winExec(false, 33);
    TDdeClientConv conversation;
    conversation.SetConnectMode(TDataMode::ddeManual);
    conversation.SetServiceApplication("C:\\x\\server.exe");
    EXPECT_FALSE(conversation.OpenConversation());
    EXPECT_TRUE(winExec.Calls().empty());
}

TEST_F(DdeTest, WithoutServerStartsServiceAndTopicOrTheServiceApplication) {
    {
        WinExecRecorder winExec(false, 33);
        auto conversation = NewConversation();
        ASSERT_TRUE(conversation->SetServiceTopic("NOSUCHSERVICE", "SomeTopic"));
        EXPECT_FALSE(conversation->OpenConversation());
        ASSERT_EQ(winExec.Calls().size(), 1u);
        EXPECT_EQ(winExec.Calls()[0].commandLine, "NOSUCHSERVICE SomeTopic");
        EXPECT_EQ(winExec.Calls()[0].show, static_cast<UINT>(SW_SHOWMINNOACTIVE));
    }
    {
        WinExecRecorder winExec(false, ERROR_FILE_NOT_FOUND);
        auto conversation = NewConversation();
        conversation->SetServiceApplication("C:\\x\\server.exe -quiet");
        EXPECT_FALSE(conversation->OpenConversation());
        ASSERT_EQ(winExec.Calls().size(), 1u);
        EXPECT_EQ(winExec.Calls()[0].commandLine, "C:\\x\\server.exe -quiet");
        EXPECT_EQ(opened_, 0);
        // The names stay until CloseConversation; ServiceApplication stays after it.
        EXPECT_EQ(conversation->DdeService(), "BROWSE");
        conversation->CloseConversation();
        EXPECT_EQ(conversation->DdeService(), "");
        EXPECT_EQ(conversation->ServiceApplication(), "C:\\x\\server.exe -quiet");
        EXPECT_EQ(closed_, 0);
    }
}

TEST_F(DdeTest, RetriesOnceAfterStartingTheServer) {
    ScopedEnv logEnv("STANDIN_BROWSER_LOG", log_);
    ScopedEnv lifetimeEnv("STANDIN_BROWSER_LIFETIME", "120");
    WinExecRecorder winExec(true);
    auto conversation = NewConversation();
    conversation->SetServiceApplication("\"" + StandinBrowserPath() + "\"");
    ASSERT_TRUE(conversation->OpenConversation());
    EXPECT_EQ(winExec.Calls().size(), 1u);
    EXPECT_EQ(opened_, 1);
    EXPECT_EQ(conversation->RequestText(kItem), std::optional<std::string>("ok"));
    EXPECT_TRUE(WaitForLogLine(log_, "request " + kItem));
}

TEST_F(DdeTest, AnEmptyServiceWithoutServiceApplicationStartsNothing) {
    WinExecRecorder winExec(false, 33);
    TDdeClientConv conversation;
    conversation.SetConnectMode(TDataMode::ddeManual);
    conversation.SetServiceTopic("", "NoServerHasThisTopic");
    EXPECT_FALSE(conversation.OpenConversation());
    EXPECT_TRUE(winExec.Calls().empty());
}

TEST_F(DdeTest, AnEmptyServiceReachesAnyServerOfTheTopic) {
    StandinBrowser browser("normal", log_);
    TDdeClientConv conversation;
    conversation.SetConnectMode(TDataMode::ddeManual);
    conversation.SetServiceTopic("", kTopic);
    ASSERT_TRUE(conversation.OpenConversation());
    EXPECT_EQ(conversation.RequestText("to anyone"), std::optional<std::string>("ok"));
    EXPECT_TRUE(WaitForLogLine(log_, "request to anyone"));
}

TEST_F(DdeTest, PartnerDisconnectFiresOnCloseOnce) {
    StandinBrowser browser("disconnect", log_);
    auto conversation = NewConversation();
    ASSERT_TRUE(conversation->OpenConversation());
    const HCONV conv = conversation->ConvHandle();
    EXPECT_EQ(conversation->RequestText(kItem), std::nullopt);
    EXPECT_TRUE(WaitForLogLine(log_, "request " + kItem));
    EXPECT_EQ(closed_, 1);
    EXPECT_FALSE(conversation->Connected());
    // Nothing the library delivers for that conversation later can reach the object.
    CONVINFO info{};
    info.cb = sizeof info;
    EXPECT_FALSE(::DdeQueryConvInfo(conv, QID_SYNC, &info) && info.hUser != 0);
    EXPECT_EQ(conversation->DdeService(), "BROWSE");  // kept until CloseConversation
    EXPECT_EQ(conversation->RequestText(kItem), std::nullopt);

    conversation->CloseConversation();
    EXPECT_EQ(closed_, 1);
    EXPECT_EQ(conversation->DdeService(), "");
    EXPECT_EQ(conversation->DdeTopic(), "");
}

TEST_F(DdeTest, AnExceptionFromOnCloseStaysInsideTheCallback) {
    StandinBrowser browser("disconnect", log_);
    auto conversation = NewConversation();
    conversation->OnClose = [this](TDdeClientConv&) {
        ++closed_;
        throw std::runtime_error("from the handler");
    };
    ASSERT_TRUE(conversation->OpenConversation());
    EXPECT_EQ(conversation->RequestText(kItem), std::nullopt);
    EXPECT_EQ(closed_, 1);
    EXPECT_FALSE(conversation->Connected());
}

TEST_F(DdeTest, ALateReplyCountsAsNoneAndTheConversationStaysOpen) {
    StandinBrowser browser("late", log_);
    auto conversation = NewConversation();
    ASSERT_TRUE(conversation->OpenConversation());
    EXPECT_EQ(conversation->RequestText(kItem), std::nullopt);
    EXPECT_FALSE(conversation->RequestRefused());
    EXPECT_TRUE(conversation->Connected());
    EXPECT_EQ(closed_, 0);
}

TEST_F(DdeTest, ARefusedRequestIsToldApartAndAConversationThatStartsNothingStartsNothing) {
    {
        StandinBrowser browser("no", log_);
        auto conversation = NewConversation();
        ASSERT_TRUE(conversation->OpenConversation());
        EXPECT_EQ(conversation->RequestText(kItem), std::nullopt);
        EXPECT_TRUE(conversation->RequestRefused());
        EXPECT_EQ(conversation->RequestText(kItem), std::nullopt);
        EXPECT_TRUE(conversation->RequestRefused());
    }
    StopAllStandinBrowsers();
    WinExecRecorder winExec(false, 33);
    auto conversation = NewConversation();
    conversation->SetStartsServer(false);
    EXPECT_FALSE(conversation->OpenConversation());
    EXPECT_TRUE(winExec.Calls().empty());
}

TEST_F(DdeTest, AReplyWithoutNulYieldsAllItsBytes) {
    StandinBrowser browser("nonul", log_);
    auto conversation = NewConversation();
    ASSERT_TRUE(conversation->OpenConversation());
    const auto reply = conversation->RequestText(kItem);
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(*reply, "nonul-reply");
    EXPECT_EQ(reply->size(), 11u);
}

TEST_F(DdeTest, AnItemLongerThan255CharactersIsNotSent) {
    StandinBrowser browser("normal", log_);
    auto conversation = NewConversation();
    ASSERT_TRUE(conversation->OpenConversation());
    const std::string tooLong(256, 'x');
    const std::string longest(255, 'y');
    EXPECT_EQ(conversation->RequestText(tooLong), std::nullopt);
    EXPECT_EQ(conversation->RequestText(longest), std::optional<std::string>("ok"));
    ASSERT_TRUE(WaitForLogLine(log_, "request " + longest));
    for (const auto& line : LogLines(log_)) EXPECT_NE(line, "request " + tooLong);
    EXPECT_TRUE(conversation->Connected());
}

TEST(TDdeClientConv, StartsNothingWithoutAManager) {
    WinExecRecorder winExec(false, 33);
    TDdeClientConv conversation;
    conversation.SetConnectMode(TDataMode::ddeManual);
    conversation.SetServiceTopic("BROWSE", kTopic);
    EXPECT_FALSE(conversation.OpenConversation());
    EXPECT_TRUE(winExec.Calls().empty());
}

TEST_F(DdeTest, AFailedConnectToLeavesTheNamesEmpty) {
    WinExecRecorder winExec;
    TDdeClientConv conversation;
    EXPECT_FALSE(conversation.ConnectTo("NOSUCHSERVICE", kTopic));
    EXPECT_EQ(conversation.DdeService(), "");
    EXPECT_EQ(conversation.DdeTopic(), "");
}

// ---- The manager's own service ------------------------------------------------

namespace {

// A second DDEML instance in this process, seeing other servers' registrations.
struct Observer {
    static std::vector<std::string>* registered;
    static int unregistered;
    static DWORD instance;

    static HDDEDATA CALLBACK Callback(UINT type, UINT, HCONV, HSZ hsz1, HSZ, HDDEDATA, ULONG_PTR, ULONG_PTR) {
        if (type == XTYP_REGISTER) {
            char name[256] = {};
            ::DdeQueryStringA(instance, hsz1, name, sizeof name, CP_WINANSI);
            registered->push_back(name);
        } else if (type == XTYP_UNREGISTER) {
            // Counted, not named: Wine posts the name as an atom that may be freed by now.
            ++unregistered;
        }
        return nullptr;
    }
};
std::vector<std::string>* Observer::registered = nullptr;
int Observer::unregistered = 0;
DWORD Observer::instance = 0;

template <typename Done>
bool PumpUntil(Done done) {
    for (int i = 0; i < 200 && !done(); ++i) {
        MSG message;
        while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageA(&message);
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
    return done();
}

bool Has(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

TEST(TDdeMgr, RegistersItsOwnServiceForItsLifeAndRefusesEveryConversation) {
    std::vector<std::string> registered;
    Observer::registered = &registered;
    Observer::unregistered = 0;
    ASSERT_EQ(::DdeInitializeA(&Observer::instance, Observer::Callback, 0, 0), static_cast<UINT>(DMLERR_NO_ERROR));

    auto manager = std::make_unique<TDdeMgr>();
    GlobalDdeMgr = manager.get();
    EXPECT_EQ(manager->OwnServiceName(), "dde_tests");
    EXPECT_TRUE(PumpUntil([&] { return Has(registered, "dde_tests"); }));

    // Another instance cannot open a conversation with it, on any topic.
    const HSZ service = ::DdeCreateStringHandleA(Observer::instance, "dde_tests", CP_WINANSI);
    for (const char* topic : {"WWW_OpenURL", "System"}) {
        const HSZ topicHsz = ::DdeCreateStringHandleA(Observer::instance, topic, CP_WINANSI);
        const HCONV conv = ::DdeConnect(Observer::instance, service, topicHsz, nullptr);
        EXPECT_EQ(conv, nullptr) << topic;
        if (conv) ::DdeDisconnect(conv);
        ::DdeFreeStringHandle(Observer::instance, topicHsz);
    }
    const HCONV wild = ::DdeConnect(Observer::instance, service, nullptr, nullptr);
    EXPECT_EQ(wild, nullptr);
    if (wild) ::DdeDisconnect(wild);
    ::DdeFreeStringHandle(Observer::instance, service);

    // A new registration replaces the old one.
    manager->RegisterOwnService("C:\\Apps\\my.web.exe");
    EXPECT_EQ(manager->OwnServiceName(), "my");
    EXPECT_TRUE(PumpUntil([&] { return Observer::unregistered == 1 && Has(registered, "my"); }));

    manager.reset();
    EXPECT_EQ(GlobalDdeMgr, nullptr);
    EXPECT_TRUE(PumpUntil([&] { return Observer::unregistered == 2; }));
    ::DdeUninitialize(Observer::instance);
}
