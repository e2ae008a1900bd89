// The `message_summary_info` column of the newer message databases: a binary
// property list that keeps, for an edited message, every version of each part
// (key "ec") and, for an unsent one, the indexes of the retracted parts
// (key "rp").
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

// One version of an edited message part.
struct MessageVersion {
    int part = 0;
    std::string body;             // the typedstream archive of that version's text
    double secondsSince2001 = 0;  // when it was written
};

struct MessageSummary {
    // Every version but the current one of each part, oldest first.
    std::vector<MessageVersion> earlierVersions;
    bool hasEditHistory = false;   // an "ec" entry with at least one version
    bool hasRetractedParts = false;  // a non-empty "rp" list
};

// Reads the summary where it lies, every offset, length and reference checked
// against the blob, without recursion and with a bound on the work a blob can
// cause. A blob that is no binary property list, or holds none of these keys,
// gives the empty summary.
MessageSummary readMessageSummary(const uint8_t* data, size_t size);

// The same reading through libplist (after a check of the nesting depth,
// which that library parses by recursion): kept to hold the reader above to
// it in the tests and the fuzz target.
MessageSummary readMessageSummaryWithLibplist(const uint8_t* data, size_t size);

}  // namespace kestrel
