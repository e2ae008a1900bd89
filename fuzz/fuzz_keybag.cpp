// Feeds arbitrary bytes to the parsers of an encrypted backup's outside data:
// the keybag, Manifest.mbdb and the archived file record of Manifest.db. The
// first byte chooses the parser; the rest is its input. Whatever parses is
// walked in full so that every stored length is exercised.
#include <cstdint>
#include <string>

#include "crypto/keybag.h"
#include "crypto/manifest_records.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrel::crypto;
    if (size == 0) return 0;
    const uint8_t choice = data[0] % 3;
    const uint8_t* body = data + 1;
    const size_t bodySize = size - 1;
    std::string error;
    volatile size_t sink = 0;
    if (choice == 0) {
        if (auto bag = parseKeybag(body, bodySize, &error)) {
            sink = sink + bag->salt.size() + bag->uuid.size() + bag->iterations;
            for (const KeybagClass& c : bag->classes) {
                sink = sink + c.protectionClass + c.wrappedKey.size() + c.uuid.size();
                if (const KeybagClass* found = bag->classNumbered(c.protectionClass)) sink = sink + found->keyType;
            }
        }
    } else if (choice == 1) {
        if (auto records = parseMbdb(body, bodySize, &error)) {
            for (const FileRecord& r : *records) {
                sink = sink + r.domain.size() + r.relativePath.size() + r.encryptionKey.size();
                if (auto cls = keyClass(r.encryptionKey)) sink = sink + *cls;
            }
        }
    } else {
        FileRecord record;
        if (parseMBFile(body, bodySize, record, &error)) {
            sink = sink + record.relativePath.size() + record.encryptionKey.size() + record.size.value_or(0);
        }
    }
    (void)sink;
    return 0;
}
