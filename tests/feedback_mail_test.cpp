// The feedback mail against a real SMTP peer on 127.0.0.1.
#include <gtest/gtest.h>
#include <ifaddrs.h>
#include <stdlib.h>

#include <cctype>
#include <chrono>
#include <set>
#include <thread>

#include "app/log.h"
#include "feedback/feedback_mail.h"
#include "feedback/mail_library.h"
#include "smtp_test_server.h"
#include "test_support.h"

namespace kestrel {
namespace {

using test::SmtpBehaviour;
using test::SmtpSession;
using test::SmtpTestServer;
using Clock = std::chrono::steady_clock;

class FeedbackMailTest : public ::testing::Test {
protected:
    void SetUp() override {
        setMailTimeouts({std::chrono::milliseconds(1000), std::chrono::milliseconds(1000)});
        previousSink_ = setLogSink([this](const std::string& line) {
            std::lock_guard<std::mutex> lock(logMutex_);
            log_.push_back(line);
        });
    }
    void TearDown() override {
        setLogSink(previousSink_);
        setMailTimeouts({});
        setMailRequireTls(false);
        unsetenv("KESTREL_SMTP_HOST");
        unsetenv("KESTREL_SMTP_PORT");
        // No log line may carry the password.
        for (const std::string& line : log_) EXPECT_EQ(line.find(settings().password), std::string::npos) << line;
    }

    static FeedbackMailSettings settings() { return feedbackMailSettings(); }
    static SmtpBehaviour accepting() {
        SmtpBehaviour behaviour;
        behaviour.user = settings().user;
        behaviour.password = settings().password;
        return behaviour;
    }
    static void pointAt(int port) {
        setenv("KESTREL_SMTP_HOST", "127.0.0.1", 1);
        setenv("KESTREL_SMTP_PORT", std::to_string(port).c_str(), 1);
    }
    int countLog(const std::string& line) {
        std::lock_guard<std::mutex> lock(logMutex_);
        return static_cast<int>(std::count(log_.begin(), log_.end(), line));
    }

    // `shape` with 9 for any digit and Aaa for a capitalised three-letter name.
    static bool hasShape(const std::string& text, const std::string& shape) {
        if (text.size() != shape.size()) return false;
        for (size_t i = 0; i < text.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            const bool ok = shape[i] == '9' ? std::isdigit(c) != 0
                            : shape[i] == 'A' ? std::isupper(c) != 0
                            : shape[i] == 'a' ? std::islower(c) != 0
                                              : c == static_cast<unsigned char>(shape[i]);
            if (!ok) return false;
        }
        return true;
    }
    // Header lines and body of a delivered message.
    static std::pair<std::vector<std::string>, std::string> split(const std::string& message) {
        size_t end = message.find("\r\n\r\n");
        std::vector<std::string> headers;
        for (size_t start = 0; end != std::string::npos && start < end + 2;) {
            size_t eol = message.find("\r\n", start);
            headers.push_back(message.substr(start, eol - start));
            start = eol + 2;
        }
        return {headers, end == std::string::npos ? std::string() : message.substr(end + 4)};
    }

    LogSink previousSink_;
    std::mutex logMutex_;
    std::vector<std::string> log_;
};

TEST_F(FeedbackMailTest, DeliversTheFeedbackWindowsMailByteForByte) {
    SmtpTestServer server(accepting());
    pointAt(server.port());
    const std::string text = ".starts with a dot\n..two dots\n.\nGrüße aus Köln, 東京 ✓";
    FeedbackMailResult result = sendFeedBackEmailHandle("user@example.org", text);
    ASSERT_TRUE(result.sent()) << result.error;
    EXPECT_EQ(countLog("res=======0"), 2);

    const std::string mailbox = settings().mailbox;
    std::vector<SmtpSession> sessions = server.sessions();
    ASSERT_EQ(sessions.size(), 2u);  // the login, then the mail
    for (const SmtpSession& s : sessions) {
        EXPECT_TRUE(s.authenticated);
        EXPECT_EQ(s.authUser, settings().user);
    }
    const SmtpSession& mail = sessions[1];
    ASSERT_TRUE(mail.delivered);
    EXPECT_NE(std::find(mail.commands.begin(), mail.commands.end(), "MAIL FROM:<" + mailbox + ">"),
              mail.commands.end());
    EXPECT_NE(std::find(mail.commands.begin(), mail.commands.end(), "RCPT TO:<" + mailbox + ">"),
              mail.commands.end());

    auto [headers, body] = split(mail.message);
    ASSERT_EQ(headers.size(), 8u) << mail.message;
    EXPECT_TRUE(hasShape(headers[0], "Date: Aaa, 99 Aaa 9999 99:99:99 +0000")) << headers[0];
    EXPECT_EQ(headers[1], "From: " + mailbox);
    EXPECT_EQ(headers[2], "To: " + mailbox);
    EXPECT_EQ(headers[3], "Subject: Kestrel");
    EXPECT_TRUE(headers[4].starts_with("Message-ID: <") && headers[4].ends_with(">") &&
                headers[4].find('@') != std::string::npos && headers[4].find(' ', 12) == std::string::npos)
        << headers[4];
    EXPECT_EQ(headers[5], "MIME-Version: 1.0");
    EXPECT_EQ(headers[6], "Content-Type: text/plain; charset=UTF-8");
    EXPECT_EQ(headers[7], "Content-Transfer-Encoding: 8bit");
    EXPECT_EQ(body,
              "RegEmail: user@example.org\r\nSuggestion:.starts with a dot\r\n..two dots\r\n.\r\n"
              "Grüße aus Köln, 東京 ✓\r\n");
    // On the wire every line that starts with a dot got exactly one more,
    // and the mail ends with a single terminating line.
    const std::string& raw = mail.rawData;
    EXPECT_NE(raw.find("\r\nSuggestion:.starts"), std::string::npos);
    EXPECT_NE(raw.find("\r\n...two dots\r\n..\r\nGr"), std::string::npos) << raw;
    EXPECT_TRUE(raw.ends_with("東京 ✓\r\n.\r\n")) << raw;
}

TEST_F(FeedbackMailTest, EncodesNonAsciiSubjectLineEndsAndOverlongLines) {
    SmtpTestServer server(accepting());
    const FeedbackMailSettings s = settings();
    ASSERT_EQ(Login("127.0.0.1", s.user.c_str(), s.password.c_str(), server.port()), kMailOk);
    ASSERT_EQ(SetAddress(s.mailbox.c_str(), s.mailbox.c_str()), kMailOk);
    const std::string title = "Kestrel – Rückmeldung 東京東京東京東京東京東京東京東京東京東京東京";
    const std::string longLine(1500, 'x');
    ASSERT_EQ(SetMail(title.c_str(), ("crlf\r\ncr\rlf\n" + longLine).c_str()), kMailOk);
    ASSERT_EQ(RemoveAllAffix(), kMailOk);
    ASSERT_EQ(Send(), kMailOk) << lastMailError();

    ASSERT_EQ(server.deliveries().size(), 1u);
    const SmtpSession mail = server.deliveries()[0];
    auto [headers, body] = split(mail.message);
    std::string subject;
    bool base64 = false;
    for (size_t i = 0; i < headers.size(); ++i) {
        if (headers[i].starts_with("Subject: ")) {
            // Encoded words, folded onto continuation lines.
            for (size_t j = i; j < headers.size() && (j == i || headers[j].starts_with(" ")); ++j) {
                for (size_t at = 0; (at = headers[j].find("=?UTF-8?B?", at)) != std::string::npos;) {
                    size_t end = headers[j].find("?=", at + 10);
                    ASSERT_NE(end, std::string::npos) << headers[j];
                    subject += test::base64Decode(headers[j].substr(at + 10, end - at - 10));
                    at = end + 2;
                }
                EXPECT_LE(headers[j].size(), 76u);  // RFC 2047 line limit
            }
        }
        if (headers[i] == "Content-Transfer-Encoding: base64") base64 = true;
    }
    EXPECT_EQ(subject, title);
    ASSERT_TRUE(base64) << mail.message;
    EXPECT_EQ(test::base64Decode(body), "crlf\r\ncr\r\nlf\r\n" + longLine + "\r\n");
    for (size_t start = 0, end; (end = mail.rawData.find("\r\n", start)) != std::string::npos; start = end + 2) {
        EXPECT_LE(end - start, 998u);
    }
}

TEST_F(FeedbackMailTest, RefusedLoginOrRecipientIsAFailure) {
    SmtpBehaviour wrongPassword = accepting();
    wrongPassword.password = "another";
    SmtpTestServer refusingLogin(wrongPassword);
    pointAt(refusingLogin.port());
    FeedbackMailResult login = sendFeedbackMail("hello");
    EXPECT_EQ(login.loginResult, kMailTransferBase - 67);  // CURLE_LOGIN_DENIED
    EXPECT_EQ(login.sendResult, kMailNotReady);
    EXPECT_NE(login.error.find("Login"), std::string::npos) << login.error;
    EXPECT_EQ(countLog("res=======" + std::to_string(login.loginResult)), 1);
    for (const SmtpSession& s : refusingLogin.sessions()) {
        for (const std::string& c : s.commands) EXPECT_FALSE(c.starts_with("MAIL")) << c;
    }

    SmtpBehaviour noRecipient = accepting();
    noRecipient.refuseRecipient = true;
    SmtpTestServer refusingRecipient(noRecipient);
    pointAt(refusingRecipient.port());
    FeedbackMailResult recipient = sendFeedbackMail("hello");
    EXPECT_EQ(recipient.loginResult, kMailOk);
    EXPECT_LT(recipient.sendResult, 0);
    EXPECT_TRUE(refusingRecipient.deliveries().empty());
}

TEST_F(FeedbackMailTest, UnreachableOrSilentServersFailWithinTheTimeout) {
    test::RefusingPort refusing;
    pointAt(refusing.port());
    FeedbackMailResult refused = sendFeedbackMail("hello");
    EXPECT_EQ(refused.loginResult, kMailTransferBase - 7);  // CURLE_COULDNT_CONNECT
    EXPECT_FALSE(refused.sent());

    // No greeting at all; a server that falls silent in the middle of the
    // mail; one that does not answer QUIT (the mail itself went through).
    for (const char* silentAt : {"", "DATA", "QUIT"}) {
        SmtpBehaviour behaviour = accepting();
        behaviour.silentFromStart = *silentAt == '\0';
        behaviour.silentAt = silentAt;
        SmtpTestServer server(behaviour);
        pointAt(server.port());
        const auto start = Clock::now();
        FeedbackMailResult result = sendFeedbackMail("hello");
        const auto elapsed = Clock::now() - start;
        const std::string at = silentAt;
        if (at == "QUIT") {
            EXPECT_TRUE(result.sent()) << result.error;
            EXPECT_EQ(server.deliveries().size(), 1u);
        } else {
            EXPECT_FALSE(result.sent());
            EXPECT_EQ(at.empty() ? result.loginResult : result.sendResult, kMailTransferBase - 28);  // timed out
            EXPECT_TRUE(server.deliveries().empty());
        }
        EXPECT_LT(elapsed, std::chrono::seconds(5)) << "silent at " << at;
    }
}

TEST_F(FeedbackMailTest, RelayWithoutAuthGetsNoPasswordAndTlsCanBeRequired) {
    SmtpBehaviour behaviour;
    behaviour.offerAuth = false;
    SmtpTestServer server(behaviour);
    pointAt(server.port());
    ASSERT_TRUE(sendFeedbackMail("via relay").sent());
    ASSERT_EQ(server.deliveries().size(), 1u);
    for (const SmtpSession& s : server.sessions()) {
        for (const std::string& c : s.commands) EXPECT_FALSE(c.starts_with("AUTH")) << c;
    }

    // Neither server offers STARTTLS: with TLS required nothing is sent.
    setMailRequireTls(true);
    FeedbackMailResult result = sendFeedbackMail("needs tls");
    EXPECT_EQ(result.loginResult, kMailTransferBase - 64);  // CURLE_USE_SSL_FAILED
    EXPECT_EQ(server.deliveries().size(), 1u);
}

TEST_F(FeedbackMailTest, ConcurrentSendsTakeTurns) {
    SmtpBehaviour slow = accepting();
    slow.greetingDelay = std::chrono::milliseconds(80);  // keeps each connection open a while
    SmtpTestServer server(slow);
    pointAt(server.port());
    std::vector<std::thread> threads;
    std::vector<FeedbackMailResult> results(3);
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&results, i] { results[i] = sendFeedbackMail("mail " + std::to_string(i)); });
    }
    for (std::thread& t : threads) t.join();
    for (const FeedbackMailResult& r : results) EXPECT_TRUE(r.sent()) << r.error;
    EXPECT_EQ(server.maxConcurrent(), 1);
    std::set<std::string> bodies;
    for (const SmtpSession& s : server.deliveries()) bodies.insert(split(s.message).second);
    EXPECT_EQ(bodies, (std::set<std::string>{"mail 0\r\n", "mail 1\r\n", "mail 2\r\n"}));
}

TEST_F(FeedbackMailTest, UnsafeOrMissingArgumentsAreRefusedBeforeAnyConnection) {
    SmtpTestServer server(accepting());
    const FeedbackMailSettings s = settings();
    EXPECT_EQ(Login(nullptr, "u", "p", server.port()), kMailBadArgument);
    EXPECT_EQ(Login("127.0.0.1", "u", "p", 0), kMailBadArgument);
    EXPECT_EQ(Login("127.0.0.1/x", "u", "p", server.port()), kMailBadArgument);
    EXPECT_EQ(Send(), kMailNotReady);  // not logged in
    EXPECT_TRUE(server.sessions().empty());

    ASSERT_EQ(Login("127.0.0.1", s.user.c_str(), s.password.c_str(), server.port()), kMailOk);
    EXPECT_EQ(SetAddress(s.mailbox.c_str(), "x@example.org>\r\nRCPT TO:<other@example.org"), kMailBadArgument);
    SetMail("Kestrel", "body");
    EXPECT_EQ(Send(), kMailNotReady);  // no addresses
    EXPECT_TRUE(server.deliveries().empty());
}

TEST_F(FeedbackMailTest, BodyRuleAndRunTimeServer) {
    EXPECT_EQ(getFeedBackInfo("", "abc"), "RegEmail: \nSuggestion:abc");
    EXPECT_EQ(getFeedBackInfo("%@", "%@ x"), "RegEmail: %@\nSuggestion:%@ x");

    setenv("KESTREL_SMTP_HOST", "relay.invalid", 1);
    setenv("KESTREL_SMTP_PORT", "2525", 1);
    EXPECT_EQ(settings().host, "relay.invalid");
    EXPECT_EQ(settings().port, 2525);
    setenv("KESTREL_SMTP_PORT", "99999", 1);
    unsetenv("KESTREL_SMTP_HOST");
    EXPECT_NE(settings().host, "relay.invalid");
    EXPECT_NE(settings().port, 99999);
}

TEST_F(FeedbackMailTest, CommandSendsTheWindowsMailAndReportsFailure) {
    SmtpTestServer server(accepting());
    const std::string env = "KESTREL_SMTP_HOST=127.0.0.1 KESTREL_SMTP_PORT=" + std::to_string(server.port()) + " ";
    test::CommandResult ok = test::runCommand(env + test::shellQuote(KESTREL_CLI_PATH) +
                                              " feedback --email me@example.org 'Works well, thanks'");
    EXPECT_EQ(ok.status, 0) << ok.err;
    ASSERT_EQ(server.deliveries().size(), 1u);
    EXPECT_EQ(split(server.deliveries()[0].message).second,
              "RegEmail: me@example.org\r\nSuggestion:Works well, thanks\r\n");

    SmtpBehaviour behaviour = accepting();
    behaviour.password = "another";
    SmtpTestServer refusing(behaviour);
    test::CommandResult failed =
        test::runCommand("KESTREL_SMTP_HOST=127.0.0.1 KESTREL_SMTP_PORT=" + std::to_string(refusing.port()) + " " +
                         test::shellQuote(KESTREL_CLI_PATH) + " feedback 'not sent'");
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("kestrel: feedback not sent: Login"), std::string::npos) << failed.err;
    EXPECT_EQ(failed.err.find(settings().password), std::string::npos);
}


TEST(MailTlsRule, CredentialsGoOffTheLoopbackAddressOnlyOverTls) {
    for (const char* host : {"localhost", "LOCALHOST.", "mail.localhost", "127.0.0.1", "127.1.2.3", "::1", "[::1]",
                             "::ffff:127.0.0.1", "0:0:0:0:0:0:0:1"}) {
        EXPECT_TRUE(isLoopbackMailHost(host)) << host;
        EXPECT_EQ(mailTlsRule(host, 25, true, false), MailTls::Try) << host;
    }
    for (const char* host : {"smtp.example.com", "192.0.2.7", "128.0.0.1", "::2", "::ffff:10.0.0.1", "localhost.example",
                             "127.0.0.1.example.com", ""}) {
        EXPECT_FALSE(isLoopbackMailHost(host)) << host;
        EXPECT_EQ(mailTlsRule(host, 25, true, false), MailTls::Require) << host;
        EXPECT_EQ(mailTlsRule(host, 587, false, false), MailTls::Try) << host;  // no login, no secret
    }
    EXPECT_EQ(mailTlsRule("localhost", 25, false, true), MailTls::Require);
    EXPECT_EQ(mailTlsRule("smtp.example.com", 465, true, false), MailTls::Implicit);
}

// The SMTP test server on an address of this machine that is not loopback:
// it offers AUTH but no STARTTLS, so the password must not reach it.
TEST_F(FeedbackMailTest, AServerOffTheLoopbackWithoutTlsGetsNoPassword) {
    std::string address;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* at = list; at != nullptr && address.empty(); at = at->ifa_next) {
            if (at->ifa_addr == nullptr || at->ifa_addr->sa_family != AF_INET) continue;
            char text[INET_ADDRSTRLEN];
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(at->ifa_addr);
            if (inet_ntop(AF_INET, &v4->sin_addr, text, sizeof text) != nullptr && !isLoopbackMailHost(text)) {
                address = text;
            }
        }
        freeifaddrs(list);
    }
    if (address.empty()) GTEST_SKIP() << "no IPv4 address other than loopback here; the rule is tested above";
    SmtpBehaviour behaviour = accepting();
    behaviour.listenAddress = address;
    SmtpTestServer server(behaviour);
    ASSERT_NE(server.port(), 0);
    setenv("KESTREL_SMTP_HOST", address.c_str(), 1);
    setenv("KESTREL_SMTP_PORT", std::to_string(server.port()).c_str(), 1);
    FeedbackMailResult result = sendFeedbackMail("must not go");
    EXPECT_FALSE(result.sent());
    EXPECT_NE(result.error.find("could not be sent securely"), std::string::npos) << result.error;
    EXPECT_TRUE(server.deliveries().empty());
    for (const SmtpSession& s : server.sessions()) {
        for (const std::string& c : s.commands) EXPECT_FALSE(c.starts_with("AUTH")) << c;
    }
}

}  // namespace
}  // namespace kestrel
