#include "crypto/manifest_records.h"

#include <openssl/evp.h>
#include <plist/plist.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

namespace kestrel::crypto {
namespace {

// An archived file record is a few hundred bytes; anything this large is not one.
constexpr size_t kMaxArchiveBytes = 1u << 20;
// Guards against reference cycles when following object references.
constexpr int kMaxUidHops = 8;

struct PlistDeleter {
    void operator()(void* p) const { plist_free(static_cast<plist_t>(p)); }
};
using PlistHolder = std::unique_ptr<void, PlistDeleter>;

// Follows object references (UIDs) through `$objects` until a plain value.
plist_t resolve(plist_t objects, plist_t node) {
    const uint32_t count = plist_array_get_size(objects);
    for (int hop = 0; node != nullptr && hop < kMaxUidHops; ++hop) {
        if (plist_get_node_type(node) != PLIST_UID) return node;
        uint64_t index = 0;
        plist_get_uid_val(node, &index);
        if (index >= count) return nullptr;
        node = plist_array_get_item(objects, static_cast<uint32_t>(index));
    }
    return node != nullptr && plist_get_node_type(node) == PLIST_UID ? nullptr : node;
}

std::optional<uint64_t> unsignedValue(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_UINT) return std::nullopt;
    uint64_t v = 0;
    plist_get_uint_val(node, &v);
    return v;
}

std::optional<std::vector<uint8_t>> dataValue(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_DATA) return std::nullopt;
    uint64_t length = 0;
    const char* p = plist_get_data_ptr(node, &length);
    if (p == nullptr && length > 0) return std::nullopt;
    return std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(p), reinterpret_cast<const uint8_t*>(p) + length);
}

std::optional<std::string> stringValue(plist_t node) {
    if (node == nullptr || plist_get_node_type(node) != PLIST_STRING) return std::nullopt;
    // By pointer and length: libplist's copying getter aborts on a string
    // with a NUL byte inside.
    uint64_t length = 0;
    const char* value = plist_get_string_ptr(node, &length);
    if (value == nullptr) return std::nullopt;
    return std::string(value, static_cast<size_t>(length));
}

}  // namespace

std::optional<uint32_t> keyClass(const std::vector<uint8_t>& encryptionKey) {
    if (encryptionKey.size() != 44) return std::nullopt;
    return static_cast<uint32_t>(encryptionKey[0]) | (static_cast<uint32_t>(encryptionKey[1]) << 8) |
           (static_cast<uint32_t>(encryptionKey[2]) << 16) | (static_cast<uint32_t>(encryptionKey[3]) << 24);
}

bool parseMBFile(const uint8_t* data, size_t size, FileRecord& record, std::string* error) {
    auto failed = [&](const char* why) {
        if (error) *error = why;
        return false;
    };
    if (data == nullptr || size < 8 || size > kMaxArchiveBytes) return failed("the file record has a wrong size");
    if (std::string_view(reinterpret_cast<const char*>(data), 6) != "bplist") {
        return failed("the file record is not a binary property list");
    }
    plist_t rootPlist = nullptr;
    plist_from_bin(reinterpret_cast<const char*>(data), static_cast<uint32_t>(size), &rootPlist);
    PlistHolder holder(rootPlist);
    if (rootPlist == nullptr || plist_get_node_type(rootPlist) != PLIST_DICT) {
        return failed("the file record is not a readable archive");
    }
    plist_t objects = plist_dict_get_item(rootPlist, "$objects");
    plist_t top = plist_dict_get_item(rootPlist, "$top");
    if (objects == nullptr || plist_get_node_type(objects) != PLIST_ARRAY || top == nullptr ||
        plist_get_node_type(top) != PLIST_DICT) {
        return failed("the file record has no $objects or $top");
    }
    plist_t root = resolve(objects, plist_dict_get_item(top, "root"));
    if (root == nullptr || plist_get_node_type(root) != PLIST_DICT) return failed("the file record has no root object");

    record.size = unsignedValue(resolve(objects, plist_dict_get_item(root, "Size")));
    if (auto c = unsignedValue(resolve(objects, plist_dict_get_item(root, "ProtectionClass"))); c && *c <= UINT32_MAX) {
        record.protectionClass = static_cast<uint32_t>(*c);
    }
    if (auto m = unsignedValue(resolve(objects, plist_dict_get_item(root, "Mode"))); m && *m <= UINT32_MAX) {
        record.mode = static_cast<uint32_t>(*m);
    }
    record.encryptionKey.clear();
    plist_t key = resolve(objects, plist_dict_get_item(root, "EncryptionKey"));
    if (key != nullptr) {
        std::optional<std::vector<uint8_t>> bytes;
        if (plist_get_node_type(key) == PLIST_DICT) {
            bytes = dataValue(resolve(objects, plist_dict_get_item(key, "NS.data")));
        } else {
            bytes = dataValue(key);
        }
        if (!bytes) return failed("the file record's EncryptionKey is not data");
        record.encryptionKey = std::move(*bytes);
    }
    if (record.relativePath.empty()) {
        if (auto path = stringValue(resolve(objects, plist_dict_get_item(root, "RelativePath")))) {
            record.relativePath = *path;
        }
    }
    return true;
}

std::optional<std::vector<FileRecord>> parseMbdb(const uint8_t* data, size_t size, std::string* error) {
    auto failed = [&](std::string why) -> std::optional<std::vector<FileRecord>> {
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    static const uint8_t kHeader[6] = {'m', 'b', 'd', 'b', 5, 0};
    if (data == nullptr || size < 6 || std::memcmp(data, kHeader, 6) != 0) {
        return failed("Manifest.mbdb does not start with its header");
    }
    size_t at = 6;
    auto need = [&](size_t n) { return size - at >= n; };
    auto readInt = [&](size_t bytes, uint64_t& out) {
        if (!need(bytes)) return false;
        out = 0;
        for (size_t i = 0; i < bytes; ++i) out = (out << 8) | data[at + i];
        at += bytes;
        return true;
    };
    // A string: u16 length then bytes; 0xFFFF is an absent value.
    auto readString = [&](std::optional<std::string>& out) {
        uint64_t length = 0;
        if (!readInt(2, length)) return false;
        if (length == 0xFFFF) {
            out.reset();
            return true;
        }
        if (!need(static_cast<size_t>(length))) return false;
        out = std::string(reinterpret_cast<const char*>(data + at), static_cast<size_t>(length));
        at += static_cast<size_t>(length);
        return true;
    };

    std::vector<FileRecord> records;
    while (at < size) {
        const size_t start = at;
        auto truncated = [&]() {
            return failed("Manifest.mbdb is truncated in the record at byte " + std::to_string(start));
        };
        FileRecord record;
        std::optional<std::string> domain, path, target, digest, key;
        if (!readString(domain) || !readString(path) || !readString(target) || !readString(digest) ||
            !readString(key)) {
            return truncated();
        }
        uint64_t mode = 0, inode = 0, uid = 0, gid = 0, mtime = 0, atime = 0, ctime = 0, fileSize = 0, pclass = 0,
                 properties = 0;
        if (!readInt(2, mode) || !readInt(8, inode) || !readInt(4, uid) || !readInt(4, gid) || !readInt(4, mtime) ||
            !readInt(4, atime) || !readInt(4, ctime) || !readInt(8, fileSize) || !readInt(1, pclass) ||
            !readInt(1, properties)) {
            return truncated();
        }
        for (uint64_t i = 0; i < properties; ++i) {
            std::optional<std::string> name, value;
            if (!readString(name) || !readString(value)) return truncated();
        }
        record.domain = domain.value_or(std::string());
        record.relativePath = path.value_or(std::string());
        record.mode = static_cast<uint32_t>(mode);
        record.size = fileSize;
        record.protectionClass = static_cast<uint32_t>(pclass);
        if (key) record.encryptionKey.assign(key->begin(), key->end());
        records.push_back(std::move(record));
    }
    return records;
}

std::string fileIdFor(const std::string& domain, const std::string& relativePath) {
    const std::string text = domain + "-" + relativePath;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_sha1(), nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

bool isSafeFileId(const std::string& fileId) {
    if (fileId.size() != 40) return false;
    for (char c : fileId) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

}  // namespace kestrel::crypto
