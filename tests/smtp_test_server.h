// A small SMTP server on a free port of 127.0.0.1 (or another address of this
// machine) for the mail tests. It accepts a bounded number of connections, each
// served on a thread of its own for at most 20 seconds, and records what each client said.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace kestrel::test {

inline std::string base64Decode(std::string_view text) {
    static constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        size_t v = kAlphabet.find(c);
        if (v == std::string_view::npos) continue;  // '=', line ends
        bits = (bits << 6) | static_cast<unsigned>(v);
        if ((count += 6) >= 8) out += static_cast<char>((bits >> (count -= 8)) & 0xff);
    }
    return out;
}

struct SmtpSession {
    std::vector<std::string> commands;  // client lines outside DATA, without CRLF
    std::string authUser, authPassword;
    bool authenticated = false;
    std::string rawData;  // after DATA, as on the wire, through the closing "." line
    std::string message;  // rawData with dot-stuffing undone, without the "." line
    bool delivered = false;
    // When the greeting went out and when the last answer other than the one
    // to QUIT went out; both taken before sending, so a client that waits for
    // an answer before its next connection always opens that one later.
    std::chrono::steady_clock::time_point greeted, lastAnswer;
    bool answered = false;
};

struct SmtpBehaviour {
    bool offerAuth = true;
    std::string user, password;  // the credentials AUTH PLAIN accepts
    bool refuseRecipient = false;
    bool silentFromStart = false;  // not even a greeting
    std::chrono::milliseconds greetingDelay{0};
    std::string silentAt;          // no answer from the first command starting with this on
    std::string listenAddress = "127.0.0.1";  // an IPv4 address of this machine
};

// A port of 127.0.0.1 that is bound but not listening: connecting is refused.
class RefusingPort {
public:
    RefusingPort() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            port_ = ntohs(address.sin_port);
        }
    }
    ~RefusingPort() { close(fd_); }
    int port() const { return port_; }

private:
    int fd_;
    int port_ = 0;
};

class SmtpTestServer {
public:
    explicit SmtpTestServer(SmtpBehaviour behaviour, int maxConnections = 8)
        : behaviour_(std::move(behaviour)), maxConnections_(maxConnections) {
        listenFd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        if (inet_pton(AF_INET, behaviour_.listenAddress.c_str(), &address.sin_addr) != 1) return;
        socklen_t length = sizeof address;
        if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listenFd_, 8) != 0 ||
            getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            return;
        }
        port_ = ntohs(address.sin_port);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
    ~SmtpTestServer() {
        stop_ = true;
        if (acceptor_.joinable()) acceptor_.join();
        for (std::thread& t : sessionThreads_) t.join();
        close(listenFd_);
    }
    SmtpTestServer(const SmtpTestServer&) = delete;
    SmtpTestServer& operator=(const SmtpTestServer&) = delete;

    int port() const { return port_; }
    std::vector<SmtpSession> sessions() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return sessions_;
    }
    std::vector<SmtpSession> deliveries() const {
        std::vector<SmtpSession> out;
        for (const SmtpSession& s : sessions()) {
            if (s.delivered) out.push_back(s);
        }
        return out;
    }
    // The most sessions that were in conversation at one time: a session
    // counts from its greeting to its last answer before QUIT. (Counting open
    // sockets instead would race with the server noticing a client's close.)
    int maxConcurrent() const {
        std::vector<SmtpSession> all = sessions();
        int most = 0;
        for (const SmtpSession& s : all) {
            if (!s.answered) continue;
            int open = 0;
            for (const SmtpSession& t : all) {
                if (t.answered && t.greeted <= s.greeted && s.greeted <= t.lastAnswer) ++open;
            }
            most = std::max(most, open);
        }
        return most;
    }

private:
    using Clock = std::chrono::steady_clock;

    void acceptLoop() {
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        int accepted = 0;
        while (!stop_ && accepted < maxConnections_ && Clock::now() < deadline) {
            pollfd p{listenFd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            int fd = accept(listenFd_, nullptr, nullptr);
            if (fd < 0) continue;
            ++accepted;
            size_t index;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                index = sessions_.size();
                sessions_.emplace_back();
            }
            sessionThreads_.emplace_back([this, fd, index] {
                serve(fd, index);
                close(fd);
            });
        }
    }

    // One line without its CRLF; false at end of input, stop or deadline.
    bool readLine(int fd, std::string& buffer, std::string& line, Clock::time_point deadline) {
        for (;;) {
            size_t end = buffer.find("\r\n");
            if (end != std::string::npos) {
                line = buffer.substr(0, end);
                buffer.erase(0, end + 2);
                return true;
            }
            if (stop_ || Clock::now() >= deadline) return false;
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) continue;
            char chunk[4096];
            ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0) return false;
            buffer.append(chunk, static_cast<size_t>(n));
        }
    }

    static void reply(int fd, const std::string& text) {
        std::string line = text + "\r\n";
        if (send(fd, line.data(), line.size(), MSG_NOSIGNAL) < 0) return;
    }

    void serve(int fd, size_t index) {
        const auto deadline = Clock::now() + std::chrono::seconds(20);
        SmtpSession session;
        auto record = [&] {
            std::lock_guard<std::mutex> lock(mutex_);
            sessions_[index] = session;
        };
        std::string buffer, line;
        bool silent = behaviour_.silentFromStart;
        std::this_thread::sleep_for(behaviour_.greetingDelay);
        auto answer = [&](const std::string& text) {
            session.lastAnswer = Clock::now();
            session.answered = true;
            record();
            reply(fd, text);
        };
        if (!silent) {
            session.greeted = Clock::now();
            answer("220 127.0.0.1 ESMTP test");
        }
        while (readLine(fd, buffer, line, deadline)) {
            session.commands.push_back(line);
            record();
            if (!behaviour_.silentAt.empty() && line.starts_with(behaviour_.silentAt)) silent = true;
            if (silent) continue;
            std::string verb = line.substr(0, line.find(' '));
            std::transform(verb.begin(), verb.end(), verb.begin(), ::toupper);
            if (verb == "EHLO") {
                answer("250-127.0.0.1");
                if (behaviour_.offerAuth) answer("250-AUTH PLAIN");
                answer("250 8BITMIME");
            } else if (verb == "AUTH" && behaviour_.offerAuth) {
                std::string response = line.size() > 11 ? line.substr(11) : "";
                if (response.empty()) {
                    answer("334 ");
                    if (!readLine(fd, buffer, response, deadline)) break;
                }
                std::string plain = base64Decode(response);  // authzid \0 user \0 password
                size_t first = plain.find('\0'), second = plain.find('\0', first + 1);
                if (first != std::string::npos && second != std::string::npos) {
                    session.authUser = plain.substr(first + 1, second - first - 1);
                    session.authPassword = plain.substr(second + 1);
                }
                session.authenticated =
                    session.authUser == behaviour_.user && session.authPassword == behaviour_.password;
                record();
                answer(session.authenticated ? "235 2.7.0 Authentication successful"
                                                : "535 5.7.8 Authentication credentials invalid");
            } else if (verb == "MAIL") {
                answer(behaviour_.offerAuth && !session.authenticated ? "530 5.7.0 Authentication required"
                                                                         : "250 2.1.0 Ok");
            } else if (verb == "RCPT") {
                answer(behaviour_.refuseRecipient ? "550 5.1.1 Mailbox unavailable" : "250 2.1.5 Ok");
            } else if (verb == "DATA") {
                answer("354 End data with <CR><LF>.<CR><LF>");
                while (readLine(fd, buffer, line, deadline)) {
                    session.rawData += line + "\r\n";
                    if (line == ".") {
                        session.delivered = true;
                        break;
                    }
                    session.message += (line.starts_with(".") ? line.substr(1) : line) + "\r\n";
                }
                record();
                if (session.delivered) answer("250 2.0.0 Ok: queued");
            } else if (verb == "QUIT") {
                reply(fd, "221 2.0.0 Bye");
                return;
            } else if (verb == "RSET" || verb == "NOOP") {
                answer("250 2.0.0 Ok");
            } else {
                answer("502 5.5.2 Command not recognized");
            }
        }
    }

    SmtpBehaviour behaviour_;
    int maxConnections_;
    int listenFd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<SmtpSession> sessions_;
    std::thread acceptor_;
    std::vector<std::thread> sessionThreads_;
};

}  // namespace kestrel::test
