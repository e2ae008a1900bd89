// The two places that send feedback, without their windows: the body rule
// of the results view's feedback window and the mail-thread bodies that both
// the quit sheet and the feedback window run (the five library calls in
// order, each result logged as "res=======%d").
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace kestrel {

inline constexpr const char* kFeedbackMailTitle = "Kestrel";
inline constexpr const char* kFeedbackBodyFormat = "RegEmail: %@\nSuggestion:%@";
inline constexpr const char* kFeedbackWindowPlaceholder = "Provide any suggestions or problems to us.";

// Where the feedback goes: the build-time values, with host and port
// replaced by the environment variables KESTREL_SMTP_HOST and
// KESTREL_SMTP_PORT when they are set (a port that is not a number from 1 to
// 65535 is ignored, with a log line).
struct FeedbackMailSettings {
    std::string host;
    int port = 25;
    std::string user;
    std::string password;
    std::string mailbox;  // both the sender and the recipient
};
FeedbackMailSettings feedbackMailSettings();

// The feedback window's mail body: "RegEmail: %@\nSuggestion:%@" with the
// e-mail field for the first %@ and the suggestion text for the second.
std::string getFeedBackInfo(std::string_view email, std::string_view suggestion);

struct FeedbackMailResult {
    int loginResult = 0;
    int sendResult = 0;
    std::string error;  // the library's reason when the mail was not sent
    bool sent() const { return loginResult == 0 && sendResult == 0; }
};

// One feedback mail with `body`: Login, SetAddress, SetMail("Kestrel", body),
// RemoveAllAffix, Send, with the current feedbackMailSettings(). Sends from
// several threads take turns: each waits until the one before it has ended.
FeedbackMailResult sendFeedbackMail(const std::string& body);

// The quit sheet's mail thread, up to the interface steps: the text of the
// sheet's view, unchanged, as the body.
FeedbackMailResult sendEmailHandle(const std::string& suggestionText);

// The feedback window's mail thread: the body from getFeedBackInfo.
FeedbackMailResult sendFeedBackEmailHandle(std::string_view email, std::string_view suggestion);

// The quit sheet's timer: after this long the program ends, sent or not.
// 10 seconds; tests may shorten it.
std::chrono::milliseconds sendEmailTimerInterval();
void setSendEmailTimerIntervalForTesting(std::chrono::milliseconds interval);

}  // namespace kestrel
