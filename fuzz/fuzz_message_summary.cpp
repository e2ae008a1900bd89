// Feeds arbitrary bytes to the message_summary_info reader (the bounded
// binary property-list reader), and each earlier version it finds to the
// attributedBody reader. Seeds: fuzz/corpus/fuzz_message_summary (summaries
// of edited and unsent messages from a generated iOS 17 database).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "extract/message_summary.h"
#include "extract/typedstream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    const MessageSummary summary = readMessageSummary(data, size);
    if (!summary.earlierVersions.empty() && !summary.hasEditHistory) abort();
    int lastPart = 0;
    for (const MessageVersion& version : summary.earlierVersions) {
        // Parts come in order, each below the limit of 4096, and a version's
        // text is a piece of the input.
        if (version.part < lastPart || version.part >= 4096 || version.body.size() > size) abort();
        lastPart = version.part;
        (void)decodeAttributedBody(reinterpret_cast<const uint8_t*>(version.body.data()), version.body.size());
    }
    return 0;
}
