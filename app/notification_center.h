// A small synchronous notification centre: a post runs every handler that
// observes the name on the posting thread, in registration order, before it
// returns. Handlers may be added from any thread; the handler list is copied
// under a lock before a post calls them, so a handler may itself post.
#pragma once

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kestrel {

// Names of the scan notifications.
namespace names {
inline constexpr const char* ScanContactInfo = "ScanContactInfo";
inline constexpr const char* ScanMessageInfo = "ScanMessageInfo";
inline constexpr const char* ScanDelContactInfo = "ScanDelContactInfo";
inline constexpr const char* ScanDelMessageInfo = "ScanDelMessageInfo";
inline constexpr const char* ScanProgressInfo = "ScanProgressInfo";
inline constexpr const char* ScanPhotoAndVideoInfo = "ScanPhotoAndVideoInfo";
inline constexpr const char* ScanCallHistoryInfo = "ScanCallHistoryInfo";
inline constexpr const char* ScanNoteInfo = "ScanNoteInfo";
inline constexpr const char* ScanDelNoteInfo = "ScanDelNoteInfo";
inline constexpr const char* ScanDelCallHistoryInfo = "ScanDelCallHistoryInfo";
inline constexpr const char* TovbuttonMouseEntered = "TovbuttonMouseEntered";
inline constexpr const char* TovbuttonMouseExited = "TovbuttonMouseExited";
}  // namespace names

struct Notification {
    std::string_view name;  // valid for the duration of the post
    std::any object;  // the record (a shared_ptr), or an int for progress
};

class NotificationCenter {
public:
    using Handler = std::function<void(const Notification&)>;
    using Token = std::uint64_t;

    // Registers a handler for one name, for any sender.
    Token addObserver(const std::string& name, Handler handler);
    void removeObserver(Token token);

    // Runs every handler registered for the name, on this thread.
    void postNotificationName(const std::string& name, std::any object);

    // The process's default centre.
    static NotificationCenter& defaultCenter();

private:
    struct Entry {
        Token token;
        Handler handler;
    };
    using EntryList = std::vector<std::shared_ptr<const Entry>>;
    // Per name, an immutable snapshot of its observers: a post copies one
    // pointer under the lock, and a change replaces the snapshot.
    std::mutex mutex_;
    std::unordered_map<std::string, std::shared_ptr<const EntryList>> observers_;
    Token next_ = 1;
};

}  // namespace kestrel
