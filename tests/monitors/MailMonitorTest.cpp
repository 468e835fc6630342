#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <utility>

#include <QTcpServer>

#include "app/ActivityLog.h"
#include "app/SettingsStore.h"
#include "fakes/ClientOwner.h"
#include "fakes/Dovecot.h"
#include "fakes/FakeKeyring.h"
#include "fakes/FakeSmtpServer.h"
#include "fakes/RecordingFaxSender.h"
#include "fakes/RecordingPagerDialer.h"
#include "fakes/ScriptedLineServer.h"
#include "fakes/TestCa.h"
#include "fixtures/Fixtures.h"
#include "fixtures/MailReader.h"
#include "fixtures/ManualTimerSource.h"
#include "monitors/MailMonitor.h"
#include "net/Mime.h"
#include "notify/MailHeader.h"
#include "notify/PagerQueue.h"
#include "settings/Passwords.h"
#include "settings/Settings.h"

namespace {

using namespace settings;

// A POP3 server with a box of messages: numbers stay as they were at the login, DELE marks
// and QUIT removes, as a real server does. UIDL and TOP can be withheld.
class FakePop3 : public ScriptedLineServer {
public:
    struct Message {
        std::string uid, text;  // text with CR LF line ends, as it was delivered
    };
    std::vector<Message> box;
    std::string password = "pw";
    bool offerUidl = true, offerTop = true;
    int retrs = 0, tops = 0;
    // The reply to RETR of this number breaks off with the connection (0: never).
    int dropOnRetr = 0;
    int refuseDele = 0;       // DELE of this number gets -ERR
    bool silentDele = false;  // DELE gets no answer at all
    int statCount = -1;       // what STAT claims, when not the box's size
    // Verbs whose answer, after "+OK", drips without end; RETR of one number does too.
    std::set<std::string> endless;
    int endlessRetr = 0;
    int refuseRetrUpTo = 0;  // RETR of the numbers up to this one gets -ERR

    FakePop3() { greeting = "+OK ready\r\n"; }

    void Add(const std::string& text) { box.push_back({"u" + std::to_string(next_++), text}); }

protected:
    void Prepare() override {
        session_ = box;
        marked_.clear();
    }
    std::string ReplyTo(const std::string& line, const std::string& verb) override {
        int n = std::atoi(line.c_str() + std::min(line.size(), verb.size()));
        bool valid = n >= 1 && n <= static_cast<int>(session_.size()) && !marked_.count(n);
        if (endless.count(verb) || (verb == "RETR" && n == endlessRetr)) {
            drip_ = true;
            return "+OK\r\n";
        }
        if (verb == "RETR" && n <= refuseRetrUpTo) return "-ERR not now\r\n";
        if (verb == "USER") return "+OK\r\n";
        if (verb == "PASS") return line.substr(5) == password ? "+OK in\r\n" : "-ERR [AUTH] no\r\n";
        if (verb == "STAT")
            return "+OK " + std::to_string(statCount >= 0 ? statCount : int(session_.size())) +
                   " 0\r\n";
        if (verb == "UIDL") {
            if (!offerUidl) return "-ERR no uidl\r\n";
            std::string r = "+OK\r\n";
            for (size_t i = 0; i < session_.size(); ++i)
                if (!marked_.count(static_cast<int>(i + 1)))
                    r += std::to_string(i + 1) + " " + session_[i].uid + "\r\n";
            return r + ".\r\n";
        }
        if (verb == "TOP") {
            if (!offerTop) return "-ERR no top\r\n";
            if (!valid) return "-ERR no such message\r\n";
            ++tops;
            const std::string& t = session_[static_cast<size_t>(n - 1)].text;
            size_t end = t.find("\r\n\r\n");
            return "+OK\r\n" + Stuffed(t.substr(0, end == std::string::npos ? t.size() : end + 4)) +
                   ".\r\n";
        }
        if (verb == "RETR") {
            if (!valid) return "-ERR no such message\r\n";
            ++retrs;
            if (n == dropOnRetr)
                dropMidReply.insert("RETR");
            else
                dropMidReply.erase("RETR");
            return "+OK\r\n" + Stuffed(session_[static_cast<size_t>(n - 1)].text) + ".\r\n";
        }
        if (verb == "DELE") {
            if (silentDele) return "";
            if (!valid || n == refuseDele) return "-ERR no such message\r\n";
            marked_.insert(n);
            return "+OK\r\n";
        }
        if (verb == "QUIT") {
            // Only now are the marked messages gone.
            std::vector<Message> kept;
            for (size_t i = 0; i < session_.size(); ++i)
                if (!marked_.count(static_cast<int>(i + 1))) kept.push_back(session_[i]);
            box = kept;
            return "+OK bye\r\n";
        }
        return "-ERR unknown\r\n";
    }

    void Answer(const ConnPtr& c, const std::string& verb, const std::string& reply) override {
        ScriptedLineServer::Answer(c, verb, reply);
        if (std::exchange(drip_, false)) Stream(c, "x", uint64_t{1} << 40, 5);
    }

private:
    static std::string Stuffed(const std::string& text) {
        std::string out;
        bool start = true;
        for (char c : text) {
            if (start && c == '.') out += '.';
            out += c;
            start = c == '\n';
        }
        if (!out.empty() && out.back() != '\n') out += "\r\n";
        return out;
    }
    std::vector<Message> session_;
    std::set<int> marked_;
    int next_ = 1;
    bool drip_ = false;
};

// Refuses the text of the message numbered refuseText (1 = the first text of the run), or
// hangs up without an answer to the text numbered dropText.
class RefusingSmtp : public FakeSmtpServer {
public:
    int refuseText = 0;
    int dropText = 0;
    int dripText = 0;  // the answer to this text drips without end

protected:
    std::string ReplyToBlock(const std::string& block) override {
        if (static_cast<int>(blocks.size()) == dropText) return "";
        if (static_cast<int>(blocks.size()) == dripText) return "";
        if (static_cast<int>(blocks.size()) == refuseText) return "554 rejected\r\n";
        return FakeSmtpServer::ReplyToBlock(block);
    }
    void OnDataEnded(const ConnPtr& c) override {
        if (static_cast<int>(blocks.size()) == dropText) return Hangup(c);
        if (static_cast<int>(blocks.size()) == dripText)
            return Stream(c, "2", uint64_t{1} << 40, 5);
        FakeSmtpServer::OnDataEnded(c);
    }
};

std::string Msg(const std::string& headers, const std::string& body) {
    return headers + "\r\n" + body;
}

class MailMonitorTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        Root().SetString(kSmtpServer, "127.0.0.1:" + std::to_string(smtp_.port()));
        Root().SetString(kHostName, "tester.example");
        pager_ = std::make_unique<CPagerCallQueue>(log_, dialer_);
        monitor_ = std::make_unique<CMailMonitor>(log_, *pager_, fax_);
        monitor_->SetRunWindow(&run_);
    }
    void TearDown() override {
        monitor_.reset();
        SandboxTest::TearDown();
    }
    RegKey Event(int port) {
        AddEvent("Box", kMailMonitor, "Daily");
        RegKey key;
        key.Open(RegKey::LocalMachine(), EventPath("Box"));
        key.SetString(kPopHost, "127.0.0.1:" + std::to_string(port));
        key.SetString(kPopUserName, "me");
        key.SetString(kPopPassword, "pw");
        key.SetDword(kNotifyViaWindows, 1);
        return key;
    }
    uint32_t Run() {
        run_.done.clear();
        monitor_->Start("Box");
        EXPECT_TRUE(waitFor([&] { return !run_.done.empty(); }, std::chrono::seconds(30)));
        // Exactly one completion per run.
        EXPECT_TRUE(DrainMessages());
        EXPECT_EQ(run_.done.size(), 1u);
        return run_.done.empty() ? 0xFFFFFFFF : run_.done[0];
    }
    // A run under timers that the test moves on a second at a time, for at most seconds;
    // before each second the servers send something more (bytes grows), so that no reply
    // time-out ends an answer that drips. The seconds the run took, or -1.
    int RunHeld(ManualTimerSource& timers, int seconds, const std::function<size_t()>& bytes) {
        run_.done.clear();
        monitor_->Start("Box");
        for (int s = 0; s <= seconds; ++s) {
            if (!run_.done.empty()) {
                EXPECT_EQ(run_.done.size(), 1u);
                return s;
            }
            const size_t before = bytes();
            EXPECT_TRUE(waitFor([&] { return bytes() > before || !run_.done.empty(); }));
            if (!run_.done.empty()) continue;
            timers.Advance(1000);
            EXPECT_TRUE(DrainMessages());
        }
        return -1;
    }
    // The monitor anew, so that its timers are those of the test.
    void RemakeMonitor() {
        monitor_ = std::make_unique<CMailMonitor>(log_, *pager_, fax_);
        monitor_->SetRunWindow(&run_);
    }
    std::vector<std::string> Texts() { return LogRecordTexts(); }
    std::vector<std::string> Errors() {
        std::vector<std::string> errors;
        for (auto& t : Texts())
            if (t.rfind("An error occured while transfering mail Box.   The error message was : ",
                        0) == 0)
                errors.push_back(t.substr(71));
        return errors;
    }
    std::string Stored(const char* name) {
        RegKey key;
        key.Open(RegKey::LocalMachine(), EventPath("Box"));
        std::string text;
        if (key.GetString(name, &text, 1u << 26) != ERROR_SUCCESS) return "<absent>";
        return text;
    }
    std::vector<std::string> Rcpts() {
        std::vector<std::string> out;
        for (const auto& c : smtp_.commands)
            if (c.rfind("RCPT", 0) == 0) out.push_back(c);
        return out;
    }
    std::vector<std::string> Queued() {
        std::vector<std::string> files;
        if (!std::filesystem::exists("Forward")) return files;
        for (const auto& e : std::filesystem::directory_iterator("Forward"))
            if (e.is_regular_file()) files.push_back(ReadFileBytes(e.path().string()));
        return files;
    }

    RefusingSmtp smtp_;
    CActivityLog log_;
    RecordingPagerDialer dialer_;
    RecordingFaxSender fax_;
    std::unique_ptr<CPagerCallQueue> pager_;
    RunStub run_;
    std::unique_ptr<CMailMonitor> monitor_;
    const std::string found_ = "The Mail Quorvane Box has found a new message\r\n";
};

TEST_F(MailMonitorTest, NewMessagesAreToldOnceWithTheirCopiesFaxesAndOnePagerCall) {
    FakePop3 pop;
    pop.Add(Msg("From: Ann <ann@x>\r\nSubject: Hello\r\nMessage-ID: <1@x>\r\n", "one\r\n"));
    pop.Add(Msg("Subject: no sender\r\nMessage-Id: <2@x>\r\n", ".dotted\r\n"));
    pop.Add(Msg("From: Bob <bob@x>\r\n", "no identifier at all\r\n"));
    RegKey key = Event(pop.port());
    key.SetDword(kNotifyViaEmail, 1);
    key.SetString(kNotifyEmailTo, "me@example.org");
    key.SetDword(kEnablePager, 1);
    key.SetString(kPagerPhone, "555-0100");
    key.SetString(kPagerMsg, "42");
    key.SetDword(kEnableFax, 1);
    key.SetString(kFaxPhone, "555-0199");
    key.SetValue(kCopyTo, REG_MULTI_SZ, EncodeMultiString({"c1@x", "c2@x"}));

    EXPECT_EQ(Run(), 0u);
    auto texts = Texts();
    ASSERT_EQ(texts.size(), 3u);
    // The header is found whatever the case of its name; no Subj line without a From line.
    EXPECT_EQ(texts[0], found_ + "\r\n   From : Ann <ann@x>\r\n   Subj : Hello");
    EXPECT_EQ(texts[1], found_);
    EXPECT_EQ(texts[2], found_ + "\r\n   From : Bob <bob@x>");
    EXPECT_EQ(Rcpts(),
              (std::vector<std::string>{"RCPT TO: <c1@x>", "RCPT TO: <c2@x>", "RCPT TO: <c1@x>",
                                        "RCPT TO: <c2@x>", "RCPT TO: <c1@x>", "RCPT TO: <c2@x>"}));
    // Each copy is the message as it came, its leading dot doubled again for DATA.
    ASSERT_EQ(smtp_.messages.size(), 6u);
    EXPECT_NE(smtp_.messages[2].find("\r\n..dotted\r\n"), std::string::npos);
    ASSERT_EQ(fax_.sent.size(), 3u);
    EXPECT_EQ(fax_.sent[0].fax.faxPhone, "555-0199");
    EXPECT_EQ(fax_.sent[0].fax.subject, "Hello");
    EXPECT_EQ(
        fax_.sent[0].fax.noteText.rfind("From: Ann <ann@x>\r\nSubject: Hello\r\n\r\n\r\none", 0),
        0u);
    EXPECT_NE(fax_.sent[1].fax.noteText.find("\r\n.dotted\r\n"), std::string::npos);
    EXPECT_EQ(fax_.sent[1].fax.noteText.find(".."), std::string::npos);
    ASSERT_EQ(pager_->calls().size(), 1u);
    EXPECT_EQ(pager_->calls()[0].phone, "555-0100");
    auto queued = Queued();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_NE(queued[0].find("Results of Mail Quorvane Box"), std::string::npos);
    EXPECT_EQ(Stored(kPagedIds).substr(0, 12), "<1@x> <2@x> ");

    // Nothing new: nothing told, copied, faxed or paged, and not a message downloaded.
    int retrs = pop.retrs;
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Texts().size(), 3u);
    EXPECT_EQ(smtp_.messages.size(), 6u);
    EXPECT_EQ(fax_.sent.size(), 3u);
    EXPECT_EQ(pager_->calls().size(), 1u);
    EXPECT_EQ(Queued().size(), 1u);
    EXPECT_EQ(pop.retrs, retrs);
}

TEST_F(MailMonitorTest, HeadersAreToldAsTheyReadInTheLogTheFaxAndTheResultMail) {
    struct Case {
        std::string from, subject;  // as the message has them
        std::string shownFrom, shownSubject;
    };
    const std::vector<Case> cases = {
        {"=?ISO-8859-1?Q?J=F6rg?= <j@x>", "=?UTF-8?B?a2VybmVsIHBhbmljIGluIFrDvHJpY2g=?=",
         "J\xC3\xB6rg <j@x>", "kernel panic in Z\xC3\xBCrich"},
        {"Ann <ann@x>", "=?utf-8?q?two?=\r\n =?utf-8?q?_words?= and =?x-unknown?q?raw?=",
         "Ann <ann@x>", "two words and =?x-unknown?q?raw?="},
        {"Bob <bob@x>", std::string("zero\0byte", 9), "Bob <bob@x>",
         "zero\xEF\xBF\xBD"
         "byte"},
    };
    FakePop3 pop;
    for (size_t i = 0; i < cases.size(); ++i)
        pop.Add(Msg("From: " + cases[i].from + "\r\nSubject: " + cases[i].subject +
                        "\r\nMessage-ID: <" + std::to_string(i) + "@x>\r\n",
                    "text\r\n"));
    RegKey key = Event(pop.port());
    key.SetDword(kNotifyViaEmail, 1);
    key.SetString(kNotifyEmailTo, "me@example.org");
    key.SetDword(kEnableFax, 1);
    key.SetString(kFaxPhone, "555-0199");
    EXPECT_EQ(Run(), 0u);

    auto texts = Texts();
    ASSERT_EQ(texts.size(), cases.size());
    ASSERT_EQ(fax_.sent.size(), cases.size());
    auto queued = Queued();
    ASSERT_EQ(queued.size(), 1u);
    EXPECT_TRUE(mime::IsAscii(queued[0]));
    const std::string mail = ReadMail(queued[0], Path("result")).body;
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].shownSubject);
        const std::string told = found_ + "\r\n   From : " + cases[i].shownFrom +
                                 "\r\n   Subj : " + cases[i].shownSubject;
        EXPECT_EQ(texts[i], told);
        EXPECT_NE(mail.find(LfLines(told)), std::string::npos) << mail;
        EXPECT_EQ(fax_.sent[i].fax.subject, cases[i].shownSubject);
        EXPECT_EQ(fax_.sent[i].fax.noteText.rfind("From: " + cases[i].shownFrom + "\r\nSubject: " +
                                                      cases[i].shownSubject + "\r\n",
                                                  0),
                  0u);
    }
}

TEST_F(MailMonitorTest, IdentifiersMatchOnlyWholeAndTheListHasNoLimit) {
    FakePop3 pop;
    pop.offerUidl = false;  // every run judges the headers
    pop.Add(Msg("Message-Id: <ab@x>\r\n", "a\r\n"));
    pop.Add(Msg("Message-Id:\r\n", "an empty identifier\r\n"));
    pop.Add(Msg("Message-Id:\r\n <folded@x>\r\n", "b\r\n"));
    pop.Add(Msg("Message-Id: <far@x>\r\n", "c\r\n"));
    RegKey key = Event(pop.port());
    // A list far past a kilobyte, that holds <ab@x> only inside longer words and <far@x> at
    // its very end.
    std::string old = "x<ab@x> <ab@x>y ";
    for (int i = 0; i < 2000; ++i) old += "<old" + std::to_string(i) + "@x> ";
    old += "<far@x> ";
    key.SetString(kPagedIds, old);

    EXPECT_EQ(Run(), 0u);
    auto texts = Texts();
    ASSERT_EQ(texts.size(), 3u);  // not <far@x>
    std::string ids = Stored(kPagedIds);
    EXPECT_EQ(ids.substr(0, 7), "<ab@x> ");
    EXPECT_NE(ids.find(" <folded@x> <far@x> "), std::string::npos);
    // The message with an empty identifier is remembered, and told once only.
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Texts().size(), 3u);
    EXPECT_EQ(pop.retrs, 3);
    EXPECT_EQ(pop.tops, 8);
}

TEST_F(MailMonitorTest, WhatWasSeenIsStoredWholeOrTheFailureIsTold) {
    FakePop3 pop;
    pop.Add(Msg("From: Ann <ann@x>\r\nSubject: Hello\r\nMessage-ID: <1@x>\r\n", "one\r\n"));
    Event(pop.port());
    {
        // Another program holds the store for the whole run.
        StoreWriteLock other(*store_, Path("registry.db"));
        ASSERT_TRUE(other.held());
        EXPECT_EQ(Run(), 0u);
    }
    auto texts = Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], found_ + "\r\n   From : Ann <ann@x>\r\n   Subj : Hello");
    EXPECT_EQ(Errors().size(), 1u);
    EXPECT_NE(texts[1].find("The messages seen could not be recorded in the settings store ("),
              std::string::npos)
        << texts[1];
    EXPECT_NE(texts[1].find("); they may be told again."), std::string::npos);
    // Neither half of what was seen went in.
    EXPECT_EQ(Stored(kPagedIds), "<absent>");
    EXPECT_EQ(Stored(kPagedUids), "<absent>");
    // As promised: told again, and stored this time, both halves.
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Texts().size(), 3u);
    EXPECT_EQ(Stored(kPagedIds), "<1@x> ");
    EXPECT_NE(Stored(kPagedUids).find(" <1@x> "), std::string::npos);
}

TEST_F(MailMonitorTest, AMessageThatWouldNotComeDownIsNotToldAgainWhenItDoes) {
    FakePop3 pop;
    pop.offerUidl = false;
    pop.offerTop = false;
    pop.Add(Msg("From: Ann <ann@x>\r\nSubject: told before\r\nMessage-ID: <1@x>\r\n", "a\r\n"));
    pop.Add(Msg("From: Bob <bob@x>\r\nSubject: new\r\nMessage-ID: <2@x>\r\n", "b\r\n"));
    RegKey key = Event(pop.port());
    key.SetString(kPagedIds, "<1@x> ");
    pop.dropOnRetr = 1;
    EXPECT_EQ(Run(), 0u);
    auto texts = Texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(Errors().size(), 1u);
    EXPECT_EQ(texts[1], found_ + "\r\n   From : Bob <bob@x>\r\n   Subj : new");
    // It comes down now, and was told long ago.
    pop.dropOnRetr = 0;
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Texts().size(), 2u);
    EXPECT_NE(Stored(kPagedIds).find("<1@x> "), std::string::npos);
}

TEST_F(MailMonitorTest, IdentifierOfAMessage) {
    EXPECT_EQ(CMailMonitor::IdentifierOf("MESSAGE-ID: <a@b>\r\n"), "<a@b>");
    std::string a = CMailMonitor::IdentifierOf("From: a\r\nSubject: s\r\n");
    EXPECT_EQ(a, CMailMonitor::IdentifierOf("From: a\r\nSubject: s\r\n"));
    EXPECT_NE(a, CMailMonitor::IdentifierOf("From: b\r\nSubject: s\r\n"));
    EXPECT_EQ(a.find(' '), std::string::npos);
    // Blanks inside, or any length, cannot go into a blank-separated list as they are.
    std::string spaced = CMailMonitor::IdentifierOf("Message-Id: <a b@c>\r\n");
    EXPECT_EQ(spaced.find(' '), std::string::npos);
    EXPECT_LT(CMailMonitor::IdentifierOf("Message-Id: <" + std::string(5000, 'a') + ">\r\n").size(),
              100u);

    std::string value;
    EXPECT_TRUE(FindHeader("Subject: a\r\n\tb\r\n c\r\nTo: d\r\n", "subject", &value));
    EXPECT_EQ(value, "a b c");
    EXPECT_FALSE(FindHeader("X-Subject: a\r\n", "subject", &value));
}

TEST_F(MailMonitorTest, ForwardsCopiesFirstThenDeletesOnlyWhatWasForwarded) {
    FakePop3 pop;
    for (int i = 1; i <= 3; ++i)
        pop.Add(Msg("Message-Id: <" + std::to_string(i) + "@x>\r\n", "text\r\n"));
    RegKey key = Event(pop.port());
    key.SetDword(kForwardMail, 1);
    key.SetString(kForwardTo, "fw@x");
    key.SetValue(kCopyTo, REG_MULTI_SZ, EncodeMultiString({"c@x"}));
    key.SetString(kPagedIds, "<2@x> ");
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Rcpts(),
              (std::vector<std::string>{"RCPT TO: <c@x>", "RCPT TO: <fw@x>", "RCPT TO: <fw@x>",
                                        "RCPT TO: <c@x>", "RCPT TO: <fw@x>"}));
    // The forward address is the sender of every copy and forward.
    EXPECT_NE(std::find(smtp_.commands.begin(), smtp_.commands.end(), "MAIL FROM: <fw@x>"),
              smtp_.commands.end());
    // Every text went whole: a copy's completion never stands in for the forward's.
    for (const auto& m : smtp_.messages) EXPECT_NE(m.find("text\r\n.\r\n"), std::string::npos);
    EXPECT_TRUE(pop.box.empty());

    // An address the server will not take costs its copy and a record naming it, each
    // time; every other copy and forward goes.
    smtp_.commands.clear();
    smtp_.messages.clear();
    smtp_.refusedRecipients = {"<c@x>"};
    pop.Add(Msg("Message-Id: <4@x>\r\n", "text\r\n"));
    pop.Add(Msg("Message-Id: <5@x>\r\n", "text\r\n"));
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Rcpts(), (std::vector<std::string>{"RCPT TO: <c@x>", "RCPT TO: <fw@x>",
                                                 "RCPT TO: <c@x>", "RCPT TO: <fw@x>"}));
    EXPECT_EQ(smtp_.messages.size(), 2u);
    EXPECT_TRUE(pop.box.empty());
    EXPECT_EQ(Errors(), (std::vector<std::string>{
                            "The e-mail receipent name is invalid.  Message 1 was not sent to "
                            "c@x: the SMTP mail server 127.0.0.1 said:  no such user",
                            "The e-mail receipent name is invalid.  Message 2 was not sent to "
                            "c@x: the SMTP mail server 127.0.0.1 said:  no such user"}));

    // A message the forward address refuses stays in the box; the one behind it goes.
    smtp_.refusedRecipients.clear();
    smtp_.commands.clear();
    smtp_.messages.clear();
    key.SetValue(kCopyTo, REG_MULTI_SZ, EncodeMultiString({}));
    smtp_.refuseText = 1;
    pop.Add(Msg("Message-Id: <6@x>\r\n", "text\r\n"));
    pop.Add(Msg("Message-Id: <7@x>\r\n", "text\r\n"));
    EXPECT_EQ(Run(), 0u);
    ASSERT_EQ(pop.box.size(), 1u);
    EXPECT_NE(pop.box[0].text.find("<6@x>"), std::string::npos);
    ASSERT_EQ(Errors().size(), 3u);
    EXPECT_EQ(Errors().back(),
              "An e-mail message is not sendable.  Message 1 was not sent to fw@x: the SMTP "
              "mail server 127.0.0.1 said:  rejected");
}

TEST_F(MailMonitorTest, AnErrorKeepsTheDeletionsOfTheForwardsThatWentOut) {
    FakePop3 pop;
    for (int i = 1; i <= 3; ++i)
        pop.Add(Msg("Message-Id: <" + std::to_string(i) + "@x>\r\n", "text\r\n"));
    RegKey key = Event(pop.port());
    key.SetDword(kForwardMail, 1);
    key.SetString(kForwardTo, "fw@x");
    key.SetString(kPagedIds, "<1@x> <2@x> <3@x> ");
    smtp_.dropText = 3;
    EXPECT_NE(Run(), 0u);
    // Forwards 1 and 2 went out, so they leave the box; 3 stays for the next run.
    ASSERT_EQ(pop.box.size(), 1u);
    EXPECT_NE(pop.box[0].text.find("<3@x>"), std::string::npos);
    EXPECT_EQ(pop.commands.back(), "QUIT");
    EXPECT_EQ(Stored(kPagedIds), "<1@x> <2@x> <3@x> ");  // untouched after an error
    EXPECT_EQ(Stored(kForwardedIds), "");                // both deletions were kept

    // The SMTP server hangs up right after accepting a forward: that message has gone and
    // leaves the box; the run ends there.
    smtp_.dropText = 0;
    smtp_.messages.clear();
    smtp_.dropAfterAccepting = true;
    pop.Add(Msg("Message-Id: <4@x>\r\n", "text\r\n"));
    EXPECT_NE(Run(), 0u);
    EXPECT_EQ(smtp_.messages.size(), 1u);
    ASSERT_EQ(pop.box.size(), 1u);
    EXPECT_NE(pop.box[0].text.find("<4@x>"), std::string::npos);
    EXPECT_EQ(pop.commands.back(), "QUIT");
    EXPECT_EQ(Stored(kForwardedIds), "");
}

TEST_F(MailMonitorTest, AMessageThatBreaksTheSessionIsPassedOverAndTheRestGoOn) {
    for (bool uidl : {true, false}) {
        SCOPED_TRACE(uidl ? "with UIDL" : "without UIDL");
        FakePop3 pop;
        pop.offerUidl = uidl;
        for (int i = 1; i <= 4; ++i)
            pop.Add(Msg("Message-Id: <" + std::to_string(i) + "@x>\r\n", "text\r\n"));
        RegKey key = Event(pop.port());
        key.SetDword(kForwardMail, 1);
        key.SetString(kForwardTo, "fw@x");
        smtp_.messages.clear();
        // Message 2 breaks the session: the deletion of message 1 is undone by the server.
        pop.dropOnRetr = 2;
        EXPECT_EQ(Run(), 0u);
        EXPECT_EQ(pop.connections, 2);
        // Message 1 went once and left the box in the second session; 3 and 4 went too.
        EXPECT_EQ(smtp_.messages.size(), 3u);
        ASSERT_EQ(pop.box.size(), 1u);
        EXPECT_NE(pop.box[0].text.find("<2@x>"), std::string::npos);
        EXPECT_EQ(Stored(kForwardedIds), "");
        EXPECT_EQ(Errors().size(), 1u);

        // The next run tries it again.
        pop.dropOnRetr = 0;
        EXPECT_EQ(Run(), 0u);
        EXPECT_TRUE(pop.box.empty());
        EXPECT_EQ(smtp_.messages.size(), 4u);
        std::filesystem::remove(kLogFileName);
        for (const char* name : {kPagedIds, kPagedUids, kForwardedIds}) key.DeleteValue(name);
    }
}

// A message that cannot be stored here (a full disk) is neither forwarded in part nor
// deleted from the box: the next run with room forwards it whole.
TEST_F(MailMonitorTest, AFullDiskForwardsNothingAndDeletesNothing) {
    SmallDisk disk(Path("tmp"), 64 * 1024);
    if (!disk.mounted()) GTEST_SKIP() << "a small file system needs root to mount";
    ASSERT_TRUE(disk.Fill());
    // The message's work file goes to the temporary folder, put on the full disk here.
    struct TmpDir {
        std::optional<std::string> old;
        explicit TmpDir(const std::string& dir) {
            if (const char* v = getenv("TMPDIR")) old = v;
            setenv("TMPDIR", dir.c_str(), 1);
        }
        ~TmpDir() { old ? (void)setenv("TMPDIR", old->c_str(), 1) : (void)unsetenv("TMPDIR"); }
    } tmp(Path("tmp"));
    FakePop3 pop;
    pop.Add(Msg("Message-Id: <1@x>\r\n", "text\r\n"));
    RegKey key = Event(pop.port());
    key.SetDword(kForwardMail, 1);
    key.SetString(kForwardTo, "fw@x");
    Run();
    EXPECT_TRUE(smtp_.messages.empty());
    EXPECT_EQ(std::count(pop.commands.begin(), pop.commands.end(), "DELE 1"), 0);
    EXPECT_EQ(pop.box.size(), 1u);
    ASSERT_FALSE(Errors().empty());
    EXPECT_EQ(Errors()[0],
              "The mail could not be stored on this computer: No space left on device.  It stays "
              "on the POP3 mail server.");

    disk.Free();
    EXPECT_EQ(Run(), 0u);
    ASSERT_EQ(smtp_.messages.size(), 1u);
    EXPECT_NE(smtp_.messages[0].find("text\r\n.\r\n"), std::string::npos);
    EXPECT_TRUE(pop.box.empty());
}

TEST_F(MailMonitorTest, ARefusedDeletionKeepsTheSessionAndTheMessageGoesOnce) {
    FakePop3 pop;
    for (int i = 1; i <= 3; ++i)
        pop.Add(Msg("Message-Id: <" + std::to_string(i) + "@x>\r\n", "text\r\n"));
    RegKey key = Event(pop.port());
    key.SetDword(kForwardMail, 1);
    key.SetString(kForwardTo, "fw@x");
    pop.refuseDele = 2;
    EXPECT_EQ(Run(), 0u);
    // The deletions of 1 and 3 were kept by the QUIT; 2 stays, known as forwarded.
    EXPECT_EQ(pop.commands.back(), "QUIT");
    ASSERT_EQ(pop.box.size(), 1u);
    EXPECT_NE(pop.box[0].text.find("<2@x>"), std::string::npos);
    EXPECT_EQ(Stored(kForwardedIds), "u:u2 ");
    EXPECT_EQ(smtp_.messages.size(), 3u);

    // The next run deletes it without downloading or sending it again.
    pop.refuseDele = 0;
    int retrs = pop.retrs;
    EXPECT_EQ(Run(), 0u);
    EXPECT_TRUE(pop.box.empty());
    EXPECT_EQ(pop.retrs, retrs);
    EXPECT_EQ(smtp_.messages.size(), 3u);
    EXPECT_EQ(Stored(kForwardedIds), "");
}

TEST_F(MailMonitorTest, AForwardAcceptedBeforeAKillIsNotSentAgain) {
    FakePop3 pop;
    pop.Add(Msg("Message-Id: <1@x>\r\n", "text\r\n"));
    pop.Add(Msg("Message-Id: <2@x>\r\n", "text\r\n"));
    RegKey key = Event(pop.port());
    key.SetDword(kForwardMail, 1);
    key.SetString(kForwardTo, "fw@x");
    // The program dies while the deletion of the forwarded message waits for its answer.
    pop.silentDele = true;
    monitor_->Start("Box");
    ASSERT_TRUE(waitFor([&] {
        return std::find(pop.commands.begin(), pop.commands.end(), "DELE 1") != pop.commands.end();
    }));
    monitor_ = std::make_unique<CMailMonitor>(log_, *pager_, fax_);
    monitor_->SetRunWindow(&run_);
    ASSERT_EQ(pop.box.size(), 2u);
    EXPECT_EQ(smtp_.messages.size(), 1u);

    pop.silentDele = false;
    EXPECT_EQ(Run(), 0u);
    EXPECT_TRUE(pop.box.empty());
    EXPECT_EQ(smtp_.messages.size(), 2u);  // message 2 only
    EXPECT_EQ(Stored(kForwardedIds), "");
}

TEST_F(MailMonitorTest, ACancelInTheMiddleKeepsTheDeletionsMadeSoFar) {
    FakePop3 pop;
    pop.Add(Msg("Message-Id: <1@x>\r\n", "text\r\n"));
    pop.Add(Msg("Message-Id: <2@x>\r\n", std::string(1500, 'b') + "\r\n"));
    RegKey key = Event(pop.port());
    key.SetDword(kForwardMail, 1);
    key.SetString(kForwardTo, "fw@x");
    pop.pace = ScriptedLineServer::Pace::OneByte;
    run_.done.clear();
    monitor_->Start("Box");
    ASSERT_TRUE(waitFor(
        [&] {
            return std::find(pop.commands.begin(), pop.commands.end(), "RETR 2") !=
                   pop.commands.end();
        },
        std::chrono::seconds(20)));
    monitor_->Cancel(0);
    EXPECT_TRUE(monitor_->Finishing());
    ASSERT_TRUE(waitFor([&] { return !run_.done.empty(); }, std::chrono::seconds(20)));
    EXPECT_EQ(run_.done[0], 0u);
    EXPECT_FALSE(monitor_->Finishing());
    // The message under way came down whole; then QUIT kept the deletion of message 1.
    EXPECT_EQ(pop.commands.back(), "QUIT");
    ASSERT_EQ(pop.box.size(), 1u);
    EXPECT_NE(pop.box[0].text.find("<2@x>"), std::string::npos);
    EXPECT_EQ(smtp_.messages.size(), 1u);
    EXPECT_TRUE(Errors().empty());
}

TEST_F(MailMonitorTest, TheListingIsTrustedOnlyAsFarAsItGoes) {
    // Two messages share a uid: the second, new one must not pass for the first.
    FakePop3 pop;
    pop.Add(Msg("From: a@x\r\nMessage-Id: <1@x>\r\n", "one\r\n"));
    pop.Add(Msg("From: b@x\r\nMessage-Id: <2@x>\r\n", "two\r\n"));
    pop.box[1].uid = pop.box[0].uid;
    RegKey key = Event(pop.port());
    key.SetString(kPagedIds, "<1@x> ");
    key.SetString(kPagedUids, pop.box[0].uid + " <1@x> ");
    EXPECT_EQ(Run(), 0u);
    auto texts = Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("From : b@x"), std::string::npos);
    EXPECT_EQ(Stored(kPagedIds), "<1@x> <2@x> ");
    EXPECT_EQ(Stored(kPagedUids), "");

    // A count far beyond the list costs no more than the list, and one record says so.
    std::filesystem::remove(kLogFileName);
    pop.box[1].uid = "other";
    pop.statCount = 2000000000;
    EXPECT_EQ(Run(), 0u);
    texts = Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_NE(texts[0].find("counts 2000000000 messages but lists 2"), std::string::npos);
    EXPECT_EQ(Stored(kPagedIds), "<1@x> <2@x> ");

    // Without a list, a count beyond the box ends the walk after a bounded number of
    // refusals, with a bounded number of records, and keeps what was read.
    std::filesystem::remove(kLogFileName);
    pop.offerUidl = false;
    pop.statCount = 20000;
    EXPECT_EQ(Run(), 0u);
    texts = Texts();
    EXPECT_EQ(texts.size(), 12u);
    ASSERT_FALSE(texts.empty());
    EXPECT_NE(texts.back().find("90 more messages could not be retrieved"), std::string::npos);
    EXPECT_LT(pop.commands.size(), 300u);
    EXPECT_EQ(Stored(kPagedIds), "<1@x> <2@x> ");
}

// The security chosen on the mail event's pages is the session's: a server that cannot secure
// it never sees the password.
TEST_F(MailMonitorTest, TheSecurityStoredWithTheEventIsTheSessions) {
    FakePop3 pop;
    pop.Add(Msg("Message-Id: <1@x>\r\n", "text\r\n"));
    MailMonitorRecord r;
    r.name = "Box";
    r.popHost = "127.0.0.1:" + std::to_string(pop.port());
    r.popUserName = "me";
    r.popPassword = "pw";
    r.popSecurity = 1;
    ASSERT_TRUE(CreateEventRecord(r));
    EXPECT_NE(Run(), 0u);
    ASSERT_FALSE(pop.commands.empty());
    EXPECT_EQ(pop.commands.front(), "STLS");
    for (const auto& c : pop.commands) EXPECT_EQ(c.find("pw"), std::string::npos) << c;

    MailMonitorRecord before;
    ASSERT_TRUE(ReadEventRecord("Box", before));
    MailMonitorRecord plain = before;
    plain.popSecurity = 0;
    ASSERT_TRUE(UpdateEventRecord(before, plain));
    pop.commands.clear();
    EXPECT_EQ(Run(), 0u);
    EXPECT_NE(std::find(pop.commands.begin(), pop.commands.end(), "PASS pw"), pop.commands.end());
}

TEST_F(MailMonitorTest, APasswordKeptInTheKeyringLogsInAndOneItDoesNotGiveIsNamed) {
    InstalledKeyring keyring;
    FakePop3 pop;
    RegKey key = Event(pop.port());
    std::string problem;
    ASSERT_TRUE(WritePassword(key, kPopPassword, "pw", &problem)) << problem;
    EXPECT_EQ(Run(), 0u);
    EXPECT_NE(std::find(pop.commands.begin(), pop.commands.end(), "PASS pw"), pop.commands.end());

    pop.commands.clear();
    keyring->answer = {secrets::Outcome::kNoAnswer,
                       "the desktop keyring did not answer within 5000 ms"};
    EXPECT_NE(Run(), 0u);
    EXPECT_TRUE(pop.commands.empty()) << "no session with an empty password";
    auto errors = Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0],
              "The password PopPassword is kept in the desktop keyring, but the desktop keyring "
              "did not answer within 5000 ms.");
}

namespace {

// A keyring that takes every question and never answers (an unlock prompt nobody sees).
struct SilentBackend : secrets::KeyringBackend {
    void Start(Op, const std::string&, const std::string&, Done) override {}
};

}  // namespace

TEST_F(MailMonitorTest, AKeyringThatNeverAnswersIsNamedWithWhatEndsTheWait) {
    FakePop3 pop;
    RegKey key = Event(pop.port());
    key.SetValue(kPopPassword, REG_BINARY, MakeSecretMarker("item"));
    auto keyring = std::make_shared<secrets::ThreadedKeyring>(
        [] { return std::make_unique<SilentBackend>(); }, std::chrono::milliseconds(100));
    secrets::Install(keyring);
    EXPECT_NE(Run(), 0u);
    EXPECT_NE(Run(), 0u);
    secrets::Install(nullptr);
    EXPECT_TRUE(pop.commands.empty()) << "no session with an empty password";
    auto errors = Errors();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0],
              "The password PopPassword is kept in the desktop keyring, but the desktop keyring "
              "did not answer within 100 ms.");
    // The next run is not held up, and its record says since when and what ends it.
    EXPECT_TRUE(std::regex_match(
        errors[1], std::regex("The password PopPassword is kept in the desktop keyring, but it "
                              "has not answered a request of [-0-9 ]*[0-9]{2}:[0-9]{2} \\(unlock "
                              "it, close its prompt or restart Quorvane\\)\\.")))
        << errors[1];
}

TEST_F(MailMonitorTest, WrongPasswordAndEmptyBox) {
    FakePop3 pop;
    pop.Add(Msg("Message-Id: <1@x>\r\n", "text\r\n"));
    RegKey key = Event(pop.port());
    key.SetDword(kEnablePager, 1);
    key.SetString(kPagedIds, "<keep@x> ");
    key.SetString(kPopPassword, "wrong");
    EXPECT_NE(Run(), 0u);
    auto texts = Texts();
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0],
              "An error occured while transfering mail Box.   The error message was : "
              "Your e-mail user name or password is invalid.");
    EXPECT_EQ(pop.box.size(), 1u);
    EXPECT_EQ(Stored(kPagedIds), "<keep@x> ");
    EXPECT_TRUE(pager_->calls().empty());

    pop.box.clear();
    key.SetString(kPopPassword, "pw");
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(monitor_->line1(), "Done");
    EXPECT_EQ(Stored(kPagedIds), "");
    EXPECT_TRUE(Queued().empty());
    EXPECT_TRUE(pager_->calls().empty());
    EXPECT_EQ(smtp_.connections, 0);
}

// Copies and forwards go out through SmtpServer; a box that is only watched needs none, and
// one that needs it and has none set is told so by the setting's name.
TEST_F(MailMonitorTest, OnlyCopiesAndForwardsNeedAnSmtpServer) {
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost, 0));
    const std::string nobody = "127.0.0.1:" + std::to_string(closed.serverPort());
    closed.close();  // nothing listens there now
    const struct {
        const char* name;
        const char* smtp;  // nullptr: not set at all
        bool forward, copy, resultMail;
        bool told;  // the message is told and the run ends well
    } cases[] = {
        {"watched, no server", nullptr, false, false, false, true},
        {"watched, a server that is down", nobody.c_str(), false, false, false, true},
        {"watched with a result e-mail, no server", nullptr, false, false, true, true},
        {"forwarded, no server", nullptr, true, false, false, false},
        {"copied, an empty server", "", false, true, false, false},
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(kLogFileName);
        std::filesystem::remove_all("Forward");
        FakePop3 pop;
        const std::string id = "<" + std::to_string(++n) + "@x>";
        pop.Add(Msg("From: a@x\r\nMessage-Id: " + id + "\r\n", "text\r\n"));
        RegKey key = Event(pop.port());
        key.DeleteValue(kPagedUids);  // every box here numbers its uids from u1
        key.SetDword(kForwardMail, c.forward ? 1 : 0);
        key.SetString(kForwardTo, "fw@x");
        key.SetValue(kCopyTo, REG_MULTI_SZ,
                     EncodeMultiString(c.copy ? std::vector<std::string>{"c@x"}
                                              : std::vector<std::string>{}));
        key.SetDword(kNotifyViaEmail, c.resultMail ? 1 : 0);
        key.SetString(kNotifyEmailTo, "me@x");
        if (c.smtp)
            Root().SetString(kSmtpServer, c.smtp);
        else
            Root().DeleteValue(kSmtpServer);
        const int connections = smtp_.connections;

        uint32_t result = Run();
        if (c.told) {
            EXPECT_EQ(result, 0u);
            EXPECT_EQ(Texts(), std::vector<std::string>{found_ + "\r\n   From : a@x"});
            EXPECT_EQ(Stored(kPagedIds), id + " ");
            EXPECT_EQ(Queued().size(), c.resultMail ? 1u : 0u);
        } else {
            EXPECT_NE(result, 0u);
            auto errors = Errors();
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0], std::string("No SMTP mail server is set (the setting SmtpServer "
                                             "is empty) to ") +
                                     (c.forward ? "forward the messages through; they stay in "
                                                  "the mailbox."
                                                : "send the copies through; nothing was sent."));
            EXPECT_EQ(pop.box.size(), 1u);
        }
        EXPECT_EQ(smtp_.connections, connections);
    }
}

// A uid that cannot be kept (a zero byte in it, a control character, too long) costs its
// message the short way, not its place: it is read by its header, and one record names it.
TEST_F(MailMonitorTest, AMessageListedWithAnUnusableUidIsStillReadAndNamed) {
    const std::string bad[] = {std::string("u\0x", 3), "u\x01x", std::string(71, 'u')};
    int n = 0;
    for (const std::string& uid : bad) {
        SCOPED_TRACE(testing::PrintToString(uid));
        std::filesystem::remove(kLogFileName);
        FakePop3 pop;
        for (int i = 1; i <= 3; ++i, ++n)
            pop.Add(Msg("From: f" + std::to_string(n) + "@x\r\nMessage-Id: <" + std::to_string(n) +
                            "@x>\r\n",
                        "text\r\n"));
        pop.box[1].uid = uid;
        Event(pop.port()).DeleteValue(kPagedUids);
        EXPECT_EQ(Run(), 0u);
        auto texts = Texts();
        ASSERT_EQ(texts.size(), 4u);
        EXPECT_EQ(Errors(), std::vector<std::string>{
                                "The POP3 mail server 127.0.0.1 listed message 2 with a unique "
                                "identifier (UIDL) that cannot be kept; it is read and known by "
                                "its header instead."});
        for (int i = 0; i < 3; ++i)
            EXPECT_NE(std::find(texts.begin(), texts.end(),
                                found_ + "\r\n   From : f" + std::to_string(n - 3 + i) + "@x"),
                      texts.end());
        // Known by its header the next time: not told again.
        EXPECT_EQ(Run(), 0u);
        EXPECT_EQ(Texts().size(), 5u);
        EXPECT_EQ(Errors().size(), 2u);
    }
}

// However its server drips, a mailbox holds the run one RequestTimeLimit in all, not one per
// command or per session; what the run saw before the limit is kept, and told once.
TEST_F(MailMonitorTest, AServerThatNeverEndsItsAnswersHoldsTheRunOneTimeLimit) {
    ManualTimerSource timers;
    RemakeMonitor();
    struct Gone {
        std::unique_ptr<CMailMonitor>& monitor;
        ~Gone() { monitor.reset(); }  // before the timers it was made with
    } gone{monitor_};
    Root().SetDword(kRequestTimeLimit, 60);
    Root().SetDword(kTimeoutPop3, 30000);
    Root().SetDword(kTimeoutSmtp, 30000);
    const std::string server = "The POP3 mail server 127.0.0.1 did not finish ";
    const std::string half = " in half of RequestTimeLimit (60 s)";
    const std::string whole = "within RequestTimeLimit (60 s)";
    const struct {
        const char* name;
        bool uidl;
        std::set<std::string> endless;
        int endlessRetr;
        int seconds;                       // how long the run is held, at least
        std::vector<std::string> told;     // the senders told by then, in order
        std::vector<std::string> records;  // what names the server
        std::vector<std::string> toldLater;
    } cases[] = {
        {"every list and message endless",
         true,
         {"UIDL", "TOP", "RETR"},
         0,
         60,
         {},
         {server + "its list (UIDL)" + half + "; the headers tell instead.",
          server + whole + "; message 1 and those behind it are left for the next run."},
         {"a", "b", "c"}},
        {"no uids, every header endless",
         false,
         {"TOP"},
         0,
         60,
         {},
         {server + "message 1" + half + "; it is left for the next run.",
          server + whole + "; message 2 and those behind it are left for the next run."},
         {"a", "b", "c"}},
        {"one endless message",
         true,
         {},
         2,
         30,
         {"a", "c"},
         {server + "message 2" + half + "; it is left for the next run."},
         {"a", "c", "b"}},
    };
    auto told = [&] {
        std::vector<std::string> from;
        for (const auto& t : Texts())
            if (t.rfind(found_, 0) == 0) from.push_back(t.substr(found_.size() + 12));
        return from;
    };
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(kLogFileName);
        FakePop3 pop;
        for (const char* from : {"a", "b", "c"})
            pop.Add(Msg(std::string("From: ") + from + "\r\nMessage-Id: <" + std::to_string(++n) +
                            "@x>\r\n",
                        "text\r\n"));
        RegKey key = Event(pop.port());
        key.DeleteValue(kPagedIds);
        key.DeleteValue(kPagedUids);
        pop.offerUidl = c.uidl;
        pop.endless = c.endless;
        pop.endlessRetr = c.endlessRetr;
        // A run that goes on after a cut ends within the seconds that follow it.
        const int held = RunHeld(timers, 90, [&] { return pop.bytesSent; });
        EXPECT_TRUE(held >= c.seconds && held <= c.seconds + 2) << held;
        EXPECT_EQ(told(), c.told);
        EXPECT_EQ(Errors(), c.records);

        // The server mends: the rest is told, and nothing twice.
        pop.endless.clear();
        pop.endlessRetr = 0;
        EXPECT_EQ(Run(), 0u);
        EXPECT_EQ(told(), c.toldLater);
    }
}

// A walk cut short, by refusals or by the time limit, saw only part of the box: a forward
// stored for a message it never reached is kept, so that the message is deleted next time,
// not forwarded again.
TEST_F(MailMonitorTest, AWalkCutShortKeepsTheForwardsStoredForTheRest) {
    ManualTimerSource timers;
    RemakeMonitor();
    struct Gone {
        std::unique_ptr<CMailMonitor>& monitor;
        ~Gone() { monitor.reset(); }  // before the timers it was made with
    } gone{monitor_};
    Root().SetDword(kRequestTimeLimit, 60);
    Root().SetDword(kTimeoutPop3, 30000);
    Root().SetDword(kTimeoutSmtp, 30000);
    for (bool byTime : {false, true}) {
        SCOPED_TRACE(byTime ? "cut by the time limit" : "cut by refusals in a row");
        FakePop3 pop;
        const int count = byTime ? 3 : 101;
        for (int i = 1; i <= count; ++i)
            pop.Add(Msg("Message-Id: <" + std::to_string(i) + "@x>\r\n", "text\r\n"));
        RegKey key = Event(pop.port());
        key.SetDword(kForwardMail, 1);
        key.SetString(kForwardTo, "fw@x");
        // The last message was forwarded by a run killed before it could delete it.
        key.SetString(kForwardedIds, "u:" + pop.box.back().uid + " ");
        smtp_.messages.clear();
        if (byTime) {
            smtp_.dripText = 2;  // the second forward is never answered
            const int held = RunHeld(timers, 90, [&] { return pop.bytesSent + smtp_.bytesSent; });
            EXPECT_TRUE(held >= 60 && held <= 62) << held;
            smtp_.dripText = 0;
            EXPECT_EQ(pop.box.size(), 2u) << "the first forward's deletion is kept";
        } else {
            pop.refuseRetrUpTo = 100;
            EXPECT_EQ(Run(), 0u);
            pop.refuseRetrUpTo = 0;
            EXPECT_EQ(pop.box.size(), 101u);
        }
        EXPECT_EQ(Stored(kForwardedIds), "u:" + pop.box.back().uid + " ");
        EXPECT_EQ(Run(), 0u);
        EXPECT_TRUE(pop.box.empty());
        const std::string last = "<" + std::to_string(count) + "@x>";
        for (const auto& m : smtp_.messages) EXPECT_EQ(m.find(last), std::string::npos);
        EXPECT_EQ(Stored(kForwardedIds), "");
    }
}

TEST_F(MailMonitorTest, ALargeBoxCostsLittleOnceKnown) {
    FakePop3 pop;
    for (int i = 0; i < 500; ++i)
        pop.Add(Msg("From: x@y\r\nMessage-Id: <" + std::to_string(i) + "@big>\r\n",
                    std::string(2000, 'm') + "\r\n"));
    Event(pop.port());
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Texts().size(), 500u);
    size_t first = pop.bytesSent;
    EXPECT_EQ(pop.retrs, 500);
    EXPECT_EQ(pop.tops, 0);

    pop.bytesSent = 0;
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Texts().size(), 500u);
    EXPECT_EQ(pop.retrs, 500);  // the second run downloads no message
    EXPECT_EQ(pop.tops, 0);
    size_t second = pop.bytesSent;
    std::printf("500 messages: first run %zu bytes, second run %zu bytes\n", first, second);
    EXPECT_LT(second * 50, first);

    // A new message among them is the only one downloaded.
    pop.Add(Msg("Message-Id: <new@big>\r\n", "new\r\n"));
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Texts().size(), 501u);
    EXPECT_EQ(pop.retrs, 501);

    // Without UIDL the headers tell; without TOP too, every message comes whole but none
    // is told again.
    pop.offerUidl = false;
    pop.bytesSent = 0;
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(pop.tops, 501);
    EXPECT_EQ(pop.retrs, 501);
    std::printf("without UIDL: %zu bytes\n", pop.bytesSent);
    pop.offerTop = false;
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(pop.retrs, 1002);
    EXPECT_EQ(Texts().size(), 501u);
}

class PagerCallQueueTest : public SandboxTest {};

TEST_F(PagerCallQueueTest, DialStringCountdownAndFailedCalls) {
    int countdown = 0;
    EXPECT_EQ(CPagerCallQueue::DialString("555-0100", "42", 8, &countdown), "555,0100,,,,,,,,42#");
    EXPECT_EQ(countdown, 5 + 9 * 2 + 19 / 4);
    EXPECT_EQ(CPagerCallQueue::DialString("(55) 1", "", 0, &countdown), ",55, 1#");
    EXPECT_EQ(countdown, 5 + 2 * 2 + 7 / 4);

    ManualTimerSource timers;
    CActivityLog log;
    RecordingPagerDialer dialer;
    CPagerCallQueue queue(log, dialer);
    queue.Append("Box", "555-0100", "42");
    queue.Append("Box", "555-0100", "42");  // the same page once
    queue.Append("Other", std::string(48, '7'), "1");
    ASSERT_EQ(queue.calls().size(), 2u);
    EXPECT_EQ(queue.calls()[1].phone, std::string(48, '7'));

    // The countdown hangs up: 27 ticks count down, the 28th stops the call.
    int ticks = 0;
    dialer.whileDialing = [&] {
        while (dialer.stops.empty() && ticks < 100) ticks += timers.Advance(1000);
    };
    ASSERT_EQ(queue.TakeNextPagerCall(), 1);
    EXPECT_EQ(queue.CurrentPagerNumber(), "555-0100");
    EXPECT_TRUE(queue.MakePagerCall());
    EXPECT_EQ(ticks, 28);
    EXPECT_EQ(dialer.dialed.back(), "555,0100,,,,,,,,42#");
    EXPECT_TRUE(timers.Pending().empty());

    // A failed call is told and goes to the back of the queue.
    dialer.whileDialing = nullptr;
    dialer.results = {64};
    ASSERT_EQ(queue.TakeNextPagerCall(), 1);
    EXPECT_FALSE(queue.MakePagerCall());
    EXPECT_EQ(dialer.stops.back(), 64);
    ASSERT_EQ(queue.calls().size(), 1u);
    EXPECT_EQ(queue.calls()[0].eventName, "Other");
    EXPECT_EQ(queue.TakeNextPagerCall(), 1);
    EXPECT_EQ(queue.TakeNextPagerCall(), 0);
}

TEST_F(MailMonitorTest, RealDovecot) {
    std::filesystem::create_directories(Path("ca"));
    TestCa ca(Path("ca"));
    ASSERT_TRUE(ca.ok()) << ca.error();
    auto issued = ca.Issue("pop", {"DNS:localhost", "IP:127.0.0.1"});
    ASSERT_TRUE(ca.ok()) << ca.error();
    Dovecot dovecot;
    dovecot.AddMessage(
        Msg("From: a@x\r\nTo: me@x\r\nSubject: plain\r\nMessage-Id: <p@x>\r\n", "plain text\r\n"));
    dovecot.AddMessage(
        Msg("From: b@x\r\nSubject: parts\r\nMessage-Id: <m@x>\r\nMIME-Version: 1.0\r\n"
            "Content-Type: multipart/mixed; boundary=\"BB\"\r\n",
            "--BB\r\nContent-Type: text/plain\r\n\r\nthe text part\r\n--BB\r\n"
            "Content-Type: application/octet-stream; name=\"a.bin\"\r\n"
            "Content-Transfer-Encoding: base64\r\n\r\naGVsbG8gYXR0YWNobWVudA==\r\n--BB--\r\n"));
    dovecot.AddMessage(
        Msg("From: c@x\r\nSubject: qp\r\nMessage-Id: <q@x>\r\n"
            "Content-Type: text/plain; charset=utf-8\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n",
            "caf=C3=A9 soft=\r\nbreak\r\n"));
    dovecot.AddMessage(
        Msg("From: d@x\r\nSubject: a folded\r\n  subject\r\nMessage-Id:\r\n <f@x>\r\n", "f\r\n"));
    dovecot.AddMessage(Msg("From: e@x\r\nSubject: anonymous\r\n", "no id\r\n"));
    ASSERT_TRUE(dovecot.Start(issued)) << dovecot.error();

    RegKey key = Event(dovecot.pop3Port());
    key.SetString(kPopUserName, dovecot.user);
    key.SetString(kPopPassword, dovecot.password);
    key.SetDword(kEnablePager, 1);
    key.SetString(kPagerPhone, "555");
    key.SetDword(kEnableFax, 1);
    key.SetDword(kSendAttachments, 1);
    key.SetValue(kCopyTo, REG_MULTI_SZ, EncodeMultiString({"copy@x"}));

    EXPECT_EQ(Run(), 0u);
    auto texts = Texts();
    ASSERT_EQ(texts.size(), 5u) << dovecot.Log();
    EXPECT_EQ(texts[3], found_ + "\r\n   From : d@x\r\n   Subj : a folded subject");
    EXPECT_EQ(Rcpts(), std::vector<std::string>(5, "RCPT TO: <copy@x>"));
    ASSERT_EQ(fax_.sent.size(), 5u);
    EXPECT_NE(fax_.sent[1].fax.noteText.find("the text part"), std::string::npos);
    EXPECT_EQ(fax_.sent[1].fax.attachmentName, "a.bin");
    EXPECT_EQ(fax_.sent[1].attachment, "hello attachment");
    EXPECT_NE(fax_.sent[2].fax.noteText.find("café soft"
                                             "break"),
              std::string::npos);
    EXPECT_EQ(pager_->calls().size(), 1u);

    // A second run reports nothing.
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Texts().size(), 5u);
    EXPECT_EQ(smtp_.messages.size(), 5u);
    EXPECT_EQ(fax_.sent.size(), 5u);

    // A wrong password loses nothing.
    key.SetString(kPopPassword, "wrong");
    EXPECT_NE(Run(), 0u);
    ASSERT_EQ(Texts().size(), 6u);
    EXPECT_EQ(Texts().back(),
              "An error occured while transfering mail Box.   The error message "
              "was : Your e-mail user name or password is invalid.");
    EXPECT_EQ(dovecot.MessageCount(), 5);

    // Forwarding: every message goes to the forward address and leaves the box.
    key.SetString(kPopPassword, dovecot.password);
    key.SetDword(kForwardMail, 1);
    key.SetString(kForwardTo, "fw@x");
    smtp_.commands.clear();
    EXPECT_EQ(Run(), 0u);
    EXPECT_EQ(Rcpts(), std::vector<std::string>(5, "RCPT TO: <fw@x>"));
    EXPECT_EQ(dovecot.MessageCount(), 0);
    EXPECT_EQ(Texts().size(), 6u);
}

}  // namespace
