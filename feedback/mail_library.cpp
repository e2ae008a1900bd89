#include "feedback/mail_library.h"

#include <curl/curl.h>
#include <arpa/inet.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <string_view>

#include "app/log.h"
#include "feedback/feedback_config.h"

namespace kestrel {
namespace {

constexpr const char* kCrlf = "\r\n";
// The longest line SMTP carries, without its CRLF (RFC 5321, 4.5.3.1.6).
constexpr size_t kMaxLineOctets = 998;

struct MailState {
    std::string host;
    std::string user;
    std::string password;
    int port = 0;
    bool loggedIn = false;
    unsigned loginGeneration = 0;
    std::string from;
    std::string to;
    bool mailSet = false;
    std::string title;
    std::string body;
    std::string lastError;
};

// Never destroyed: a mail thread may still be inside a call when the
// program ends.
struct Library {
    std::mutex mutex;  // guards `state`; never held across network traffic
    MailState state;
    std::atomic<long long> connectMs{MailTimeouts{}.connect.count()};
    std::atomic<long long> totalMs{MailTimeouts{}.total.count()};
    std::atomic<bool> requireTls{config::kSmtpRequireTls};
};

Library& library() {
    static Library* instance = new Library();
    return *instance;
}

// libcurl is loaded when the first mail goes out rather than with the
// program: with the TLS, Kerberos, LDAP and SSH libraries it pulls in, it
// would double the loading every command does at start (about 25 of the
// program's 50 libraries), for a mail most runs never send.
struct CurlCalls {
    CURLcode (*globalInit)(long) = nullptr;
    CURL* (*easyInit)() = nullptr;
    CURLcode (*easySetopt)(CURL*, CURLoption, ...) = nullptr;
    CURLcode (*easyPerform)(CURL*) = nullptr;
    void (*easyCleanup)(CURL*) = nullptr;
    const char* (*easyStrerror)(CURLcode) = nullptr;
    curl_slist* (*slistAppend)(curl_slist*, const char*) = nullptr;
    void (*slistFreeAll)(curl_slist*) = nullptr;
    bool loaded = false;
    std::string failure;  // why it could not be loaded
};

template <typename Function>
bool bind(void* library, const char* name, Function& function, std::string& failure) {
    function = reinterpret_cast<Function>(dlsym(library, name));
    if (function == nullptr && failure.empty()) failure = std::string("libcurl has no ") + name;
    return function != nullptr;
}

CurlCalls loadCurl() {
    CurlCalls calls;
    // Never closed: a mail thread may still be inside a call at exit.
    void* library = dlopen(config::kCurlLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = dlerror();
        calls.failure = std::string("libcurl cannot be loaded: ") + (why != nullptr ? why : config::kCurlLibrary);
        return calls;
    }
    bool all = bind(library, "curl_global_init", calls.globalInit, calls.failure);
    all = bind(library, "curl_easy_init", calls.easyInit, calls.failure) && all;
    all = bind(library, "curl_easy_setopt", calls.easySetopt, calls.failure) && all;
    all = bind(library, "curl_easy_perform", calls.easyPerform, calls.failure) && all;
    all = bind(library, "curl_easy_cleanup", calls.easyCleanup, calls.failure) && all;
    all = bind(library, "curl_easy_strerror", calls.easyStrerror, calls.failure) && all;
    all = bind(library, "curl_slist_append", calls.slistAppend, calls.failure) && all;
    all = bind(library, "curl_slist_free_all", calls.slistFreeAll, calls.failure) && all;
    calls.loaded = all;
    return calls;
}

const CurlCalls& curl() {
    static const CurlCalls calls = loadCurl();
    return calls;
}

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] {
        if (curl().loaded) curl().globalInit(CURL_GLOBAL_DEFAULT);
        // A server that hangs up in the middle of a TLS write would otherwise
        // end the program with SIGPIPE (libcurl is told not to touch
        // signals, being used from threads). A handler the program set is kept.
        struct sigaction current {};
        if (sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) signal(SIGPIPE, SIG_IGN);
    });
}

// ---- Validation ----

bool safeHost(std::string_view host) {
    if (host.empty()) return false;
    for (unsigned char c : host) {
        if (c <= 0x20 || c == 0x7f || std::strchr("/@?#\\<>\"", c) != nullptr) return false;
    }
    return true;
}

// An address as SMTP's MAIL FROM and RCPT TO take it between < and >, and as
// it stands in the From and To headers: no blank, no control character, no
// angle bracket (which would end the envelope address early or add a header).
bool safeAddress(std::string_view address) {
    if (address.empty()) return false;
    for (unsigned char c : address) {
        if (c <= 0x20 || c == 0x7f || c == '<' || c == '>') return false;
    }
    return true;
}

// ---- Composition ----

std::string base64(std::string_view data) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        unsigned v = (static_cast<unsigned char>(data[i]) << 16) | (static_cast<unsigned char>(data[i + 1]) << 8) |
                     static_cast<unsigned char>(data[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i < data.size()) {
        unsigned v = static_cast<unsigned char>(data[i]) << 16;
        if (i + 1 < data.size()) v |= static_cast<unsigned char>(data[i + 1]) << 8;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += i + 1 < data.size() ? kAlphabet[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

// A header text as it may stand in a header: printable ASCII as it is,
// anything else as RFC 2047 encoded words ("=?UTF-8?B?...?="), each at most
// 39 bytes of text (so each line stays within 76 characters) and never splitting a UTF-8 sequence, folded onto
// continuation lines.
std::string headerText(std::string_view text) {
    bool plain = true;
    for (unsigned char c : text) {
        if (c < 0x20 || c > 0x7e) plain = false;
    }
    if (plain && text.size() <= 900) return std::string(text);
    std::string out;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = std::min(start + 39, text.size());
        while (end > start + 1 && end < text.size() && (static_cast<unsigned char>(text[end]) & 0xc0) == 0x80) --end;
        if (!out.empty()) out += "\r\n ";
        out += "=?UTF-8?B?" + base64(text.substr(start, end - start)) + "?=";
        start = end;
    }
    return out;
}

// Every line end (CRLF, LF or a lone CR) becomes CRLF, and the text ends with
// one. libcurl itself leaves line ends alone; it only doubles a dot at the
// start of a line and adds the closing "." line.
std::string crlfLines(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32 + 2);
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\r') {
            out += kCrlf;
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += kCrlf;
        } else {
            out += c;
        }
    }
    if (!out.empty() && !out.ends_with(kCrlf)) out += kCrlf;
    return out;
}

bool hasOverlongLine(std::string_view crlfText) {
    size_t start = 0;
    while (start < crlfText.size()) {
        size_t end = crlfText.find(kCrlf, start);
        if (end == std::string_view::npos) end = crlfText.size();
        if (end - start > kMaxLineOctets) return true;
        start = end + 2;
    }
    return false;
}

std::string base64Lines(std::string_view data) {
    std::string encoded = base64(data);
    std::string out;
    for (size_t i = 0; i < encoded.size(); i += 76) out += encoded.substr(i, 76) + kCrlf;
    return out;
}

// "Mon, 07 Dec 2026 18:21:37 +0000", independent of the locale.
std::string rfc5322Date(std::time_t now) {
    static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    gmtime_r(&now, &tm);
    char text[64];
    std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d +0000", kDays[tm.tm_wday % 7], tm.tm_mday,
                  kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

std::string messageId(std::string_view from, std::time_t now) {
    static std::atomic<unsigned> counter{0};
    size_t at = from.rfind('@');
    std::string domain = at == std::string_view::npos || at + 1 == from.size() ? std::string("kestrel.invalid")
                                                                               : std::string(from.substr(at + 1));
    std::random_device random;
    char left[96];
    std::snprintf(left, sizeof left, "%lld.%d.%u.%08x", static_cast<long long>(now), static_cast<int>(getpid()),
                  counter.fetch_add(1), static_cast<unsigned>(random()));
    return "<" + std::string(left) + "@" + domain + ">";
}

// The whole message as it goes after DATA, before dot-stuffing.
std::string composeMessage(const MailState& mail) {
    const std::time_t now = std::time(nullptr);
    std::string body = crlfLines(mail.body);
    const bool base64Body = hasOverlongLine(body);
    std::string message;
    message += "Date: " + rfc5322Date(now) + kCrlf;
    message += "From: " + mail.from + kCrlf;
    message += "To: " + mail.to + kCrlf;
    message += "Subject: " + headerText(mail.title) + kCrlf;
    message += "Message-ID: " + messageId(mail.from, now) + kCrlf;
    message += std::string("MIME-Version: 1.0") + kCrlf;
    message += std::string("Content-Type: text/plain; charset=UTF-8") + kCrlf;
    message += std::string("Content-Transfer-Encoding: ") + (base64Body ? "base64" : "8bit") + kCrlf;
    message += kCrlf;
    message += base64Body ? base64Lines(body) : body;
    return message;
}

// ---- Transfers ----

struct Upload {
    const std::string* data = nullptr;
    size_t offset = 0;
};

size_t readUpload(char* buffer, size_t size, size_t count, void* user) {
    auto* upload = static_cast<Upload*>(user);
    size_t room = size * count;
    size_t left = upload->data->size() - upload->offset;
    size_t n = std::min(room, left);
    std::memcpy(buffer, upload->data->data() + upload->offset, n);
    upload->offset += n;
    return n;
}

std::string smtpUrl(const std::string& host, int port, MailTls tls) {
    bool ipv6 = host.find(':') != std::string::npos && host.front() != '[';
    return std::string(tls == MailTls::Implicit ? "smtps://" : "smtp://") + (ipv6 ? "[" + host + "]" : host) + ":" +
           std::to_string(port);
}

// The words of a failed step: a server that would not give TLS where it is
// needed is named as such.
std::string failureText(const std::string& step, int result, const std::string& error) {
    if (result == kMailTransferBase - static_cast<int>(CURLE_USE_SSL_FAILED)) {
        return step + " failed: the mail could not be sent securely: the server offers no TLS (" + error + ")";
    }
    return step + " failed: " + error;
}

class Transfer {
public:
    explicit Transfer(const MailState& session) : handle_(curl().loaded ? curl().easyInit() : nullptr) {
        if (handle_ == nullptr) return;
        Library& lib = library();
        const MailTls tls = mailTlsRule(session.host, session.port, !session.user.empty(), lib.requireTls.load());
        url_ = smtpUrl(session.host, session.port, tls);
        curl().easySetopt(handle_, CURLOPT_URL, url_.c_str());
        curl().easySetopt(handle_, CURLOPT_PROTOCOLS_STR, tls == MailTls::Implicit ? "smtps" : "smtp");
        curl().easySetopt(handle_, CURLOPT_PROXY, "");  // straight to the server, whatever the environment says
        curl().easySetopt(handle_, CURLOPT_NOSIGNAL, 1L);
        curl().easySetopt(handle_, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(lib.connectMs.load()));
        curl().easySetopt(handle_, CURLOPT_TIMEOUT_MS, static_cast<long>(lib.totalMs.load()));
        // Each answer of the server, at most 10 s. The overall time-out does
        // not cover the QUIT that libcurl sends when it closes the connection;
        // without this a server that never answers QUIT holds the call for two
        // minutes.
        const long long responseMs = std::min<long long>(lib.totalMs.load(), 10000);
        curl().easySetopt(handle_, CURLOPT_SERVER_RESPONSE_TIMEOUT,
                         static_cast<long>(std::max<long long>(1, (responseMs + 999) / 1000)));
        curl().easySetopt(handle_, CURLOPT_USE_SSL,
                         static_cast<long>(tls == MailTls::Try ? CURLUSESSL_TRY : CURLUSESSL_ALL));
        if (!session.user.empty()) {
            curl().easySetopt(handle_, CURLOPT_USERNAME, session.user.c_str());
            curl().easySetopt(handle_, CURLOPT_PASSWORD, session.password.c_str());
        }
        errorText_[0] = '\0';
        curl().easySetopt(handle_, CURLOPT_ERRORBUFFER, errorText_);
    }
    ~Transfer() {
        if (handle_ != nullptr) curl().easyCleanup(handle_);
        if (recipients_ != nullptr) curl().slistFreeAll(recipients_);
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    CURL* handle() const { return handle_; }
    void addRecipient(const std::string& address) {
        recipients_ = curl().slistAppend(recipients_, address.c_str());
        curl().easySetopt(handle_, CURLOPT_MAIL_RCPT, recipients_);
    }

    // 0, or kMailTransferBase - the CURLcode; `error` tells why.
    int perform(std::string& error) {
        if (handle_ == nullptr) {
            error = curl().loaded ? "cannot start a transfer" : curl().failure;
            return kMailTransferBase - static_cast<int>(CURLE_FAILED_INIT);
        }
        CURLcode code = curl().easyPerform(handle_);
        if (code == CURLE_OK) return kMailOk;
        error = errorText_[0] != '\0' ? errorText_ : curl().easyStrerror(code);
        while (!error.empty() && (error.back() == '\n' || error.back() == '\r')) error.pop_back();
        return kMailTransferBase - static_cast<int>(code);
    }

private:
    CURL* handle_;
    std::string url_;
    curl_slist* recipients_ = nullptr;
    char errorText_[CURL_ERROR_SIZE];
};

int fail(MailState& state, int code, const std::string& what) {
    state.lastError = what;
    NSLog("mail: %s", what.c_str());
    return code;
}

}  // namespace

int Login(const char* host, const char* user, const char* password, int port) {
    initCurlOnce();
    Library& lib = library();
    MailState session;
    unsigned generation = 0;
    {
        std::lock_guard<std::mutex> lock(lib.mutex);
        MailState& state = lib.state;
        state.loggedIn = false;
        generation = ++state.loginGeneration;
        if (host == nullptr || !safeHost(host)) {
            return fail(state, kMailBadArgument, "Login: no usable server host name");
        }
        if (port < 1 || port > 65535) return fail(state, kMailBadArgument, "Login: port out of range");
        state.host = host;
        state.port = port;
        state.user = user != nullptr ? user : "";
        state.password = password != nullptr ? password : "";
        session = state;
    }

    // Connect, greet, STARTTLS when offered, AUTH when offered; then hang up.
    // The lock is not held meanwhile.
    Transfer transfer(session);
    if (transfer.handle() != nullptr) curl().easySetopt(transfer.handle(), CURLOPT_CONNECT_ONLY, 1L);
    std::string error;
    int result = transfer.perform(error);

    std::lock_guard<std::mutex> lock(lib.mutex);
    MailState& state = lib.state;
    if (result != kMailOk) {
        return fail(state, result,
                    failureText("Login to " + session.host + ":" + std::to_string(session.port), result, error));
    }
    // A Login that started after this one decides.
    if (state.loginGeneration == generation) {
        state.loggedIn = true;
        state.lastError.clear();
    }
    return kMailOk;
}

int SetAddress(const char* from, const char* to) {
    Library& lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    MailState& state = lib.state;
    if (from == nullptr || to == nullptr || !safeAddress(from) || !safeAddress(to)) {
        state.from.clear();
        state.to.clear();
        return fail(state, kMailBadArgument, "SetAddress: missing or unusable address");
    }
    state.from = from;
    state.to = to;
    return kMailOk;
}

int SetMail(const char* title, const char* body) {
    Library& lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    MailState& state = lib.state;
    if (title == nullptr || body == nullptr) {
        state.mailSet = false;
        return fail(state, kMailBadArgument, "SetMail: missing title or body");
    }
    state.title = title;
    state.body = body;
    state.mailSet = true;
    return kMailOk;
}

int RemoveAllAffix() {
    // The library sends plain-text mails and has no call that attaches a
    // file, so a mail never carries an attachment to remove. The call stays
    // because the send sequence makes it.
    return kMailOk;
}

int Send() {
    initCurlOnce();
    Library& lib = library();
    MailState session;
    std::string message;
    {
        std::lock_guard<std::mutex> lock(lib.mutex);
        MailState& state = lib.state;
        int notReady = kMailOk;
        if (!state.loggedIn) {
            notReady = fail(state, kMailNotReady, "Send: not logged in");
        } else if (state.from.empty() || state.to.empty()) {
            notReady = fail(state, kMailNotReady, "Send: no addresses");
        } else if (!state.mailSet) {
            notReady = fail(state, kMailNotReady, "Send: no mail");
        } else {
            session = state;
            message = composeMessage(state);
        }
        // The mail and the login are used up, sent or not.
        state.loggedIn = false;
        state.mailSet = false;
        state.title.clear();
        state.body.clear();
        if (notReady != kMailOk) return notReady;
    }

    Upload upload{&message, 0};
    const std::string from = "<" + session.from + ">";
    Transfer transfer(session);
    if (transfer.handle() != nullptr) {
        curl().easySetopt(transfer.handle(), CURLOPT_MAIL_FROM, from.c_str());
        transfer.addRecipient("<" + session.to + ">");
        curl().easySetopt(transfer.handle(), CURLOPT_UPLOAD, 1L);
        curl().easySetopt(transfer.handle(), CURLOPT_READFUNCTION, readUpload);
        curl().easySetopt(transfer.handle(), CURLOPT_READDATA, &upload);
        curl().easySetopt(transfer.handle(), CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(message.size()));
    }
    std::string error;
    int result = transfer.perform(error);

    std::lock_guard<std::mutex> lock(lib.mutex);
    if (result != kMailOk) {
        return fail(lib.state, result,
                    failureText("Send through " + session.host + ":" + std::to_string(session.port), result, error));
    }
    lib.state.lastError.clear();
    return kMailOk;
}

std::string lastMailError() {
    Library& lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    return lib.state.lastError;
}

void setMailTimeouts(MailTimeouts timeouts) {
    library().connectMs = std::max<long long>(1, timeouts.connect.count());
    library().totalMs = std::max<long long>(1, timeouts.total.count());
}

MailTimeouts mailTimeouts() {
    return MailTimeouts{std::chrono::milliseconds(library().connectMs.load()),
                        std::chrono::milliseconds(library().totalMs.load())};
}

void setMailRequireTls(bool require) { library().requireTls = require; }

bool isLoopbackMailHost(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (!host.empty() && host.back() == '.') host.remove_suffix(1);
    std::string lower;
    for (char c : host) lower.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c));
    if (lower == "localhost" || lower.ends_with(".localhost")) return true;
    in_addr v4{};
    if (inet_pton(AF_INET, lower.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
    in6_addr v6{};
    if (inet_pton(AF_INET6, lower.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
        return IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127;
    }
    return false;
}

MailTls mailTlsRule(std::string_view host, int port, bool logsIn, bool requireTls) {
    if (port == 465) return MailTls::Implicit;
    if (requireTls || (logsIn && !isLoopbackMailHost(host))) return MailTls::Require;
    return MailTls::Try;
}

}  // namespace kestrel
