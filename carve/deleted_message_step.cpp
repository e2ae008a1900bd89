#include "carve/deleted_message_step.h"

#include "carve/message_carver.h"

namespace kestrel {

void carveDeletedMessages(const RawFile* file, bool iOS6, RecordSink& sink) {
    const PageGeometry geometry = pageGeometry(file);
    const bool walFormat = checkSQliteVersion(file, 18) == 1;
    if (iOS6) {
        scanIOS6MessagePages(sink, file, geometry);
    } else if (walFormat) {
        scanWalFormatMessagePages(sink, file, geometry);
    } else {
        scanRollbackFormatMessagePages(sink, file, geometry);
    }
}

}  // namespace kestrel
