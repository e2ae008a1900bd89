// Feeds arbitrary bytes to the message_summary_info reader, and each earlier
// version it finds to the attributedBody reader.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "extract/message_summary.h"
#include "extract/typedstream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    const MessageSummary summary = readMessageSummary(data, size);
    if (!summary.earlierVersions.empty() && !summary.hasEditHistory) abort();
    for (const MessageVersion& version : summary.earlierVersions) {
        (void)decodeAttributedBody(reinterpret_cast<const uint8_t*>(version.body.data()), version.body.size());
    }
    return 0;
}
