// Feeds arbitrary bytes to the attributedBody reader, and the text it gives
// back to the attachment-name helpers.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "extract/typedstream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    std::string reason;
    auto body = decodeAttributedBody(data, size, &reason);
    if (!body) {
        if (reason.empty()) abort();  // a failure always says why
        return 0;
    }
    for (const AttachmentMarker& m : body->attachments) {
        if (m.byteOffset + 3 > body->text.size()) abort();
    }
    (void)describeAttachments(*body, [](const std::string& guid, size_t) { return guid; });
    (void)describeAttachments(body->text, {"a"});
    return 0;
}
