// Feeds arbitrary bytes to the attributedBody reader (full and view), and the
// text it gives back to the attachment-name helpers.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "extract/typedstream.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel;
    std::string reason;
    auto body = decodeAttributedBody(data, size, &reason);
    // The view reads exactly what the full reader reads, with the same reason.
    std::string viewReason;
    auto view = viewAttributedBody(data, size, &viewReason);
    if (view.has_value() != body.has_value() || viewReason != reason) abort();
    if (!body) {
        if (reason.empty()) abort();  // a failure always says why
        return 0;
    }
    if (view->text != body->text || view->markers != body->attachments.size()) abort();
    for (const AttachmentMarker& m : body->attachments) {
        if (m.byteOffset + 3 > body->text.size()) abort();
    }
    (void)describeAttachments(*body, [](const std::string& guid, size_t) { return guid; });
    (void)describeAttachments(body->text, {"a"});
    return 0;
}
