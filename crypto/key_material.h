// Key material and the cryptographic steps of an encrypted backup: the
// two-stage password derivation, RFC 3394 key unwrap, and AES-256-CBC
// decryption of a whole file through a fixed buffer. Every buffer that holds
// key material is wiped (OPENSSL_cleanse) when it goes away.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kestrel::crypto {

// A 32-byte AES-256 key, wiped on destruction and on assignment.
class Key32 {
public:
    Key32() { bytes_.fill(0); }
    explicit Key32(const uint8_t* data) { std::copy(data, data + 32, bytes_.begin()); }
    Key32(const Key32& other) : bytes_(other.bytes_) {}
    Key32& operator=(const Key32& other);
    ~Key32();

    uint8_t* data() { return bytes_.data(); }
    const uint8_t* data() const { return bytes_.data(); }
    static constexpr size_t size() { return 32; }
    bool operator==(const Key32& other) const { return bytes_ == other.bytes_; }

private:
    std::array<uint8_t, 32> bytes_;
};

// Wipes a byte buffer in place (the bytes of a password, an unwrapped key).
void wipe(void* data, size_t size);
void wipe(std::string& text);
void wipe(std::vector<uint8_t>& bytes);

// Called now and then during a long derivation with the fraction done (0..1).
// Returning false cancels the derivation.
using DeriveProgress = std::function<bool(double fraction)>;

// PBKDF2-HMAC with SHA-256 or SHA-1, 32-byte output. With a progress callback
// the rounds are run here (so the callback can be called between them);
// without one OpenSSL's PKCS5_PBKDF2_HMAC does them. Returns false on
// cancellation or when OpenSSL fails.
enum class Digest { Sha1, Sha256 };
bool pbkdf2(Digest digest, const uint8_t* password, size_t passwordSize, const uint8_t* salt, size_t saltSize,
            uint32_t rounds, Key32& out, const DeriveProgress& progress = nullptr,
            double progressFrom = 0.0, double progressTo = 1.0);

// The backup's key-encryption key from the password. With `dpsl`/`dpic`
// (iOS 10.2 and later) a PBKDF2-HMAC-SHA256 stage runs first and its 32 raw
// bytes feed the PBKDF2-HMAC-SHA1 stage. This is slow with real counts
// (10,000,000 SHA-256 rounds take seconds): call it off any interface thread.
bool deriveKeyEncryptionKey(const std::string& password, const std::vector<uint8_t>& salt, uint32_t iterations,
                            const std::optional<std::vector<uint8_t>>& dpsl, std::optional<uint32_t> dpic,
                            Key32& kek, const DeriveProgress& progress = nullptr);

// RFC 3394 AES-256 key unwrap of a 40-byte wrapped 32-byte key. Returns false
// when the integrity value is not A6A6A6A6A6A6A6A6 (a wrong key) or the input
// is not 40 bytes.
bool unwrapKey(const Key32& kek, const uint8_t* wrapped, size_t wrappedSize, Key32& out);

// Result of decrypting one content file.
struct DecryptResult {
    bool ok = false;
    std::string error;        // why it failed, when !ok
    uint64_t written = 0;     // plaintext bytes written
    std::string note;         // set when the file was kept but differs from its record
};

// Decrypts `source` (AES-256-CBC, zero IV, `key`) into `destination`
// (created with mode 0600, replaced if present), reading through a fixed
// buffer. `expectedSize` is the plaintext size from the file's record; at
// most that many bytes are written. Without it, valid PKCS#7 padding is
// removed and otherwise every byte kept. A ciphertext that is not a whole
// number of blocks, or a plaintext shorter than `expectedSize`, is an error
// and leaves no destination file behind.
DecryptResult decryptFile(const std::string& source, const std::string& destination, const Key32& key,
                          std::optional<uint64_t> expectedSize);

// Decrypts a whole buffer in memory (AES-256-CBC, zero IV, no padding
// handling): used for Manifest.db, which is small. Returns false when the
// length is not a multiple of 16.
bool decryptBuffer(const Key32& key, const uint8_t* data, size_t size, std::vector<uint8_t>& out);

// Length of `data` with valid PKCS#7 padding removed; `size` itself when the
// padding is not valid.
size_t lengthWithoutPadding(const uint8_t* data, size_t size);

}  // namespace kestrel::crypto
