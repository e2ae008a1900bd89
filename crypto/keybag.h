// The backup keybag (Manifest.plist's BackupKeyBag): a flat run of
// tag / big-endian length / value items. The first UUID belongs to the
// header; every later UUID opens the block of one protection class.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::crypto {

struct KeybagClass {
    uint32_t protectionClass = 0;          // CLAS, 1 to 11
    std::optional<uint32_t> wrap;          // WRAP: bit 2 = wrapped with the password key
    uint32_t keyType = 0;                  // KTYP: 0 AES
    std::vector<uint8_t> uuid;             // the UUID that opened the block
    std::vector<uint8_t> wrappedKey;       // WPKY, 40 bytes
};

struct Keybag {
    std::optional<uint32_t> version;       // VERS
    std::optional<uint32_t> type;          // TYPE
    std::vector<uint8_t> uuid;             // header UUID
    std::vector<uint8_t> salt;             // SALT, 20 bytes
    uint32_t iterations = 0;               // ITER
    std::optional<std::vector<uint8_t>> dpsl;  // DPSL, salt of the SHA-256 stage
    std::optional<uint32_t> dpic;              // DPIC, rounds of the SHA-256 stage
    std::vector<KeybagClass> classes;      // in file order

    // The class block with this CLAS number, or nullptr.
    const KeybagClass* classNumbered(uint32_t protectionClass) const;
};

// Parses a keybag. Every tag and length is checked against the end of the
// data. Fails (with the reason in `error`) when an item runs past the end,
// when SALT or ITER is missing, when SALT is not 20 bytes, when ITER or DPIC
// is 0, when only one of DPSL/DPIC is present, when a class block has no
// CLAS, or a WPKY is not 40 bytes. Unknown tags are skipped.
std::optional<Keybag> parseKeybag(const uint8_t* data, size_t size, std::string* error);

}  // namespace kestrel::crypto
