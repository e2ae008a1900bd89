#include "feedback/feedback_mail.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "app/log.h"
#include "feedback/feedback_config.h"
#include "feedback/mail_library.h"

namespace kestrel {
namespace {

std::mutex& sendTurn() {
    static std::mutex* turn = new std::mutex();  // never destroyed: a mail thread may outlive main
    return *turn;
}

std::atomic<long long> g_timerMs{10000};

// `format` with each "%@" replaced by the next of `values`; the values are
// not searched for "%@" themselves.
std::string fillPlaceholders(std::string_view format, std::initializer_list<std::string_view> values) {
    std::string out;
    auto value = values.begin();
    size_t i = 0;
    while (i < format.size()) {
        if (format.compare(i, 2, "%@") == 0 && value != values.end()) {
            out += *value++;
            i += 2;
        } else {
            out += format[i++];
        }
    }
    return out;
}

}  // namespace

FeedbackMailSettings feedbackMailSettings() {
    FeedbackMailSettings settings;
    settings.host = config::kSmtpHost;
    settings.port = config::kSmtpPort;
    settings.user = config::kSmtpUser;
    settings.password = config::kSmtpPassword;
    settings.mailbox = config::kFeedbackMailbox;
    if (const char* host = std::getenv("KESTREL_SMTP_HOST"); host != nullptr && *host != '\0') settings.host = host;
    if (const char* port = std::getenv("KESTREL_SMTP_PORT"); port != nullptr && *port != '\0') {
        char* end = nullptr;
        long value = std::strtol(port, &end, 10);
        if (*end == '\0' && value >= 1 && value <= 65535) {
            settings.port = static_cast<int>(value);
        } else {
            NSLog("KESTREL_SMTP_PORT=%s is not a port number; using port %d", port, settings.port);
        }
    }
    return settings;
}

std::string getFeedBackInfo(std::string_view email, std::string_view suggestion) {
    return fillPlaceholders(kFeedbackBodyFormat, {email, suggestion});
}

FeedbackMailResult sendFeedbackMail(const std::string& body) {
    const FeedbackMailSettings settings = feedbackMailSettings();
    std::lock_guard<std::mutex> turn(sendTurn());
    FeedbackMailResult result;
    result.loginResult = Login(settings.host.c_str(), settings.user.c_str(), settings.password.c_str(), settings.port);
    NSLog("res=======%d", result.loginResult);
    const std::string loginError = result.loginResult == 0 ? std::string() : lastMailError();
    SetAddress(settings.mailbox.c_str(), settings.mailbox.c_str());
    SetMail(kFeedbackMailTitle, body.c_str());
    RemoveAllAffix();
    result.sendResult = Send();
    NSLog("res=======%d", result.sendResult);
    if (!result.sent()) result.error = result.loginResult != 0 ? loginError : lastMailError();
    return result;
}

FeedbackMailResult sendEmailHandle(const std::string& suggestionText) { return sendFeedbackMail(suggestionText); }

FeedbackMailResult sendFeedBackEmailHandle(std::string_view email, std::string_view suggestion) {
    return sendFeedbackMail(getFeedBackInfo(email, suggestion));
}

std::chrono::milliseconds sendEmailTimerInterval() { return std::chrono::milliseconds(g_timerMs.load()); }

void setSendEmailTimerIntervalForTesting(std::chrono::milliseconds interval) { g_timerMs = interval.count(); }

}  // namespace kestrel
