#include "crypto/keybag.h"

#include <cstring>

namespace kestrel::crypto {
namespace {

uint32_t bigEndian32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

bool tagIs(const uint8_t* tag, const char* name) { return std::memcmp(tag, name, 4) == 0; }

std::string tagText(const uint8_t* tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        const char c = static_cast<char>(tag[i]);
        text += (c >= 0x20 && c < 0x7f) ? c : '?';
    }
    return text;
}

}  // namespace

const KeybagClass* Keybag::classNumbered(uint32_t protectionClass) const {
    for (const KeybagClass& c : classes) {
        if (c.protectionClass == protectionClass) return &c;
    }
    return nullptr;
}

std::optional<Keybag> parseKeybag(const uint8_t* data, size_t size, std::string* error) {
    auto failed = [&](std::string why) -> std::optional<Keybag> {
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    if (data == nullptr || size == 0) return failed("the keybag is empty");

    Keybag bag;
    bool sawHeaderUuid = false, sawSalt = false, sawIter = false;
    KeybagClass* current = nullptr;
    size_t at = 0;
    while (at < size) {
        if (size - at < 8) return failed("the keybag ends inside an item header at byte " + std::to_string(at));
        const uint8_t* tag = data + at;
        const uint32_t length = bigEndian32(data + at + 4);
        at += 8;
        if (length > size - at) {
            return failed("the keybag item " + tagText(tag) + " at byte " + std::to_string(at - 8) +
                          " runs past the end (" + std::to_string(length) + " bytes, " +
                          std::to_string(size - at) + " left)");
        }
        const uint8_t* value = data + at;
        at += length;
        auto u32 = [&](uint32_t& out) -> bool {
            if (length != 4) return false;
            out = bigEndian32(value);
            return true;
        };
        auto wrongSize = [&]() {
            return failed("the keybag item " + tagText(tag) + " has a wrong length (" + std::to_string(length) +
                          " bytes)");
        };

        if (tagIs(tag, "UUID")) {
            if (!sawHeaderUuid) {
                sawHeaderUuid = true;
                bag.uuid.assign(value, value + length);
            } else {
                if (current != nullptr && current->protectionClass == 0) {
                    return failed("a class block of the keybag has no CLAS");
                }
                bag.classes.emplace_back();
                current = &bag.classes.back();
                current->uuid.assign(value, value + length);
            }
            continue;
        }
        if (current != nullptr) {
            uint32_t n = 0;
            if (tagIs(tag, "CLAS")) {
                if (!u32(n)) return wrongSize();
                if (n == 0) return failed("the keybag has a class block with CLAS 0");
                current->protectionClass = n;
            } else if (tagIs(tag, "WRAP")) {
                if (!u32(n)) return wrongSize();
                current->wrap = n;
            } else if (tagIs(tag, "KTYP")) {
                if (!u32(n)) return wrongSize();
                current->keyType = n;
            } else if (tagIs(tag, "WPKY")) {
                if (length != 40) return wrongSize();
                current->wrappedKey.assign(value, value + length);
            }
            continue;  // other class tags (PBKY, ...) are not needed
        }
        if (tagIs(tag, "VERS")) {
            uint32_t n = 0;
            if (!u32(n)) return wrongSize();
            bag.version = n;
        } else if (tagIs(tag, "TYPE")) {
            uint32_t n = 0;
            if (!u32(n)) return wrongSize();
            bag.type = n;
        } else if (tagIs(tag, "SALT")) {
            if (length != 20) return wrongSize();
            bag.salt.assign(value, value + length);
            sawSalt = true;
        } else if (tagIs(tag, "ITER")) {
            if (!u32(bag.iterations)) return wrongSize();
            sawIter = true;
        } else if (tagIs(tag, "DPSL")) {
            if (length != 20) return wrongSize();
            bag.dpsl = std::vector<uint8_t>(value, value + length);
        } else if (tagIs(tag, "DPIC")) {
            uint32_t n = 0;
            if (!u32(n)) return wrongSize();
            bag.dpic = n;
        }
        // HMCK, WRAP, DPWT, SIGN and unknown header tags are skipped.
    }
    if (current != nullptr && current->protectionClass == 0) return failed("a class block of the keybag has no CLAS");
    if (!sawSalt) return failed("the keybag has no SALT");
    if (!sawIter) return failed("the keybag has no ITER");
    if (bag.iterations == 0) return failed("the keybag's ITER is 0");
    if (bag.dpsl.has_value() != bag.dpic.has_value()) {
        return failed("the keybag has only one of DPSL and DPIC");
    }
    if (bag.dpic && *bag.dpic == 0) return failed("the keybag's DPIC is 0");
    if (bag.classes.empty()) return failed("the keybag has no class keys");
    return bag;
}

}  // namespace kestrel::crypto
