// The JSON text of one record, as `kestrel scan --json` prints it and the
// export's records.json holds it: one function per category, shared by every
// writer, so both always carry the same fields in the same order.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "app/backup_discovery.h"
#include "app/records.h"

namespace kestrel {

// Appends text as a JSON string. Bytes that are not valid UTF-8 become
// U+FFFD, one per byte, so the output is always valid JSON.
void appendJsonString(std::string& out, std::string_view text);
// The same without the quotes around it.
void appendJsonStringContent(std::string& out, std::string_view text);

// The JSON objects of the records, appended to `out`.
void appendContactJson(std::string& out, const TovContactNode& contact);
void appendMessageJson(std::string& out, const TovMessageNode& message);
void appendNoteJson(std::string& out, const TovNoteNode& note);
void appendCallHistoryJson(std::string& out, const TovCallHistoryNode& call);

// `null` for a record read from a live table; else an object of the fields
// that are known (file, area, page, offset, frame, commit).
std::string provenanceJson(const Provenance& provenance);
// A JSON array of texts.
std::string textArrayJson(const std::vector<std::string>& texts);
// The backup's facts: the device record's fields plus `encrypted`.
std::string backupFactsJson(const TovIOSDeviceNode& backup);

// One object of "key": value pairs, written in the order given.
class JsonObjectWriter {
public:
    explicit JsonObjectWriter(std::string& out) : out_(out) { out_.push_back('{'); }
    ~JsonObjectWriter() { out_.push_back('}'); }
    JsonObjectWriter(const JsonObjectWriter&) = delete;
    JsonObjectWriter& operator=(const JsonObjectWriter&) = delete;

    JsonObjectWriter& text(const char* key, std::string_view value) {
        this->key(key);
        appendJsonString(out_, value);
        return *this;
    }
    JsonObjectWriter& flag(const char* key, bool value) {
        this->key(key);
        out_.append(value ? "true" : "false");
        return *this;
    }
    JsonObjectWriter& raw(const char* key, std::string_view json) {
        this->key(key);
        out_.append(json);
        return *this;
    }
    JsonObjectWriter& number(const char* key, long long value) {
        this->key(key);
        out_.append(std::to_string(value));
        return *this;
    }

    // Starts a member: its key; the caller appends the value. Keys are
    // mostly names of ours, written as they are when nothing needs escaping.
    void key(std::string_view name) {
        if (!first_) out_.append(", ");
        first_ = false;
        if (std::all_of(name.begin(), name.end(), [](char c) {
                const auto b = static_cast<unsigned char>(c);
                return b >= 0x20 && b < 0x80 && b != '"' && b != '\\';
            })) {
            out_.push_back('"');
            out_.append(name);
            out_.push_back('"');
        } else {
            appendJsonString(out_, name);
        }
        out_.append(": ");
    }

private:
    std::string& out_;
    bool first_ = true;
};

}  // namespace kestrel
