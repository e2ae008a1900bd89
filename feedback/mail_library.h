// The mail-sending library: one plain-text mail at a time, built up through
// five plain calls and delivered over SMTP (libcurl).
//
//   Login(host, user, password, port)  connects, says EHLO, switches to TLS
//                                      when the server offers STARTTLS, and
//                                      logs in when the server offers AUTH;
//                                      then hangs up again
//   SetAddress(from, to)               envelope and header addresses
//   SetMail(title, body)               subject and UTF-8 body
//   RemoveAllAffix()                   drops the attachments of the mail
//   Send()                             delivers the mail (connecting and
//                                      logging in again); the mail and the
//                                      login are used up, success or not
//
// The calls carry no handle: the library keeps the mail being built in one
// process-wide state, guarded by a lock (not held while talking to the
// server), so each call is safe from any thread. Two threads that each run
// the whole sequence must still take turns (see sendFeedbackMail in
// feedback_mail.h); the library does not queue them.
//
// A server that offers no AUTH (a local relay) is not logged in to: the mail
// goes without login, and the password is never sent. Credentials never go
// in clear: with a user name to log in with, a server off the loopback
// address must offer TLS (STARTTLS, or SMTPS on port 465) or it is refused
// before AUTH, and the failure says the mail could not be sent securely (see
// mailTlsRule). On the loopback address, STARTTLS is used when offered,
// unless the program was built with KESTREL_SMTP_REQUIRE_TLS, which then
// requires it everywhere. Every network step is bounded by time-outs
// (setMailTimeouts).
//
// Results: 0 on success, a negative number on failure:
//   kMailBadArgument   a missing or unsafe argument (no host, a port outside
//                      1-65535, an address holding a line break or <>)
//   kMailNotReady      Send without a successful Login, SetAddress or SetMail
//   kMailTransferBase - code   the SMTP exchange failed with libcurl's CURLcode
//                      `code`: -107 connection refused or host unreachable,
//                      -167 login refused, -155 recipient or mail refused,
//                      -128 time-out, -164 TLS required but not offered
//                      (the mail could not be sent securely) ...
// The first Login or Send sets SIGPIPE to be ignored unless the program has
// a handler of its own for it.
//
// lastMailError() tells the reason of the last failure in words. No text the
// library logs or returns carries the password.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

namespace kestrel {

inline constexpr int kMailOk = 0;
inline constexpr int kMailBadArgument = -1;
inline constexpr int kMailNotReady = -2;
inline constexpr int kMailTransferBase = -100;

int Login(const char* host, const char* user, const char* password, int port);
int SetAddress(const char* from, const char* to);
int SetMail(const char* title, const char* body);
int RemoveAllAffix();
int Send();

// The reason of the last failed call ("Login: Login denied" ...); empty
// after a successful Send.
std::string lastMailError();

// Time-outs of each network step (Login, Send): for the connection to be
// set up, and for the whole step (each answer of the server, the one to QUIT
// at the end included, is waited for at most 10 s and never longer than the
// whole step). Defaults: 10 s and 20 s, so Login and Send together end
// within a minute.
struct MailTimeouts {
    std::chrono::milliseconds connect{10000};
    std::chrono::milliseconds total{20000};
};
void setMailTimeouts(MailTimeouts timeouts);
MailTimeouts mailTimeouts();

// Whether Login and Send refuse a server that does not offer STARTTLS.
// Starts with the build-time choice KESTREL_SMTP_REQUIRE_TLS.
void setMailRequireTls(bool require);

// Whether a host text names the loopback address: "localhost" (or a name
// under ".localhost"), 127.0.0.0/8, ::1 (bracketed or not) and ::ffff:127.x.
// No name is looked up.
bool isLoopbackMailHost(std::string_view host);

// How a session treats TLS.
enum class MailTls {
    Implicit,  // SMTPS: TLS from the first byte (port 465)
    Require,   // STARTTLS or nothing: a server without it gets no AUTH and no mail
    Try,       // STARTTLS when offered, else plain (only where no secret can leak)
};

// The TLS rule of a session: SMTPS on port 465; otherwise STARTTLS is
// required when `requireTls` is set or when a login (`logsIn`: a user name is
// configured) would go to a server off the loopback address; else tried.
MailTls mailTlsRule(std::string_view host, int port, bool logsIn, bool requireTls);

}  // namespace kestrel
