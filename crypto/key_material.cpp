#include "crypto/key_material.h"

#include <fcntl.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace kestrel::crypto {
namespace {

struct CipherCtxDeleter {
    void operator()(EVP_CIPHER_CTX* ctx) const { EVP_CIPHER_CTX_free(ctx); }
};
using CipherCtx = std::unique_ptr<EVP_CIPHER_CTX, CipherCtxDeleter>;

struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* ctx) const { EVP_MD_CTX_free(ctx); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;

// Closes a file descriptor when it goes out of scope.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

bool writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Reads up to `size` bytes, fewer only at the end of the file; -1 on error.
ssize_t readFull(int fd, uint8_t* data, size_t size) {
    size_t total = 0;
    while (total < size) {
        ssize_t n = ::read(fd, data + total, size - total);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        total += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(total);
}

// PBKDF2 with the HMAC's inner and outer hash states prepared once, so each
// round costs two state copies and two short hashes; the callback is asked
// every few thousand rounds.
bool pbkdf2WithProgress(const EVP_MD* md, const uint8_t* password, size_t passwordSize, const uint8_t* salt,
                        size_t saltSize, uint32_t rounds, Key32& out, const DeriveProgress& progress,
                        double progressFrom, double progressTo) {
    constexpr size_t kBlock = 64;  // SHA-1 and SHA-256 both hash 64-byte blocks
    const size_t mdSize = static_cast<size_t>(EVP_MD_get_size(md));
    uint8_t key[kBlock] = {};
    if (passwordSize > kBlock) {
        unsigned int len = 0;
        if (EVP_Digest(password, passwordSize, key, &len, md, nullptr) != 1) return false;
    } else if (passwordSize > 0) {
        std::memcpy(key, password, passwordSize);
    }
    uint8_t pad[kBlock];
    MdCtx inner(EVP_MD_CTX_new()), outer(EVP_MD_CTX_new()), work(EVP_MD_CTX_new());
    bool ok = inner && outer && work;
    for (size_t i = 0; ok && i < kBlock; ++i) pad[i] = static_cast<uint8_t>(key[i] ^ 0x36);
    ok = ok && EVP_DigestInit_ex(inner.get(), md, nullptr) == 1 && EVP_DigestUpdate(inner.get(), pad, kBlock) == 1;
    for (size_t i = 0; ok && i < kBlock; ++i) pad[i] = static_cast<uint8_t>(key[i] ^ 0x5c);
    ok = ok && EVP_DigestInit_ex(outer.get(), md, nullptr) == 1 && EVP_DigestUpdate(outer.get(), pad, kBlock) == 1;
    OPENSSL_cleanse(key, sizeof key);
    OPENSSL_cleanse(pad, sizeof pad);

    uint8_t u[EVP_MAX_MD_SIZE], t[EVP_MAX_MD_SIZE], innerDigest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    const size_t blocks = (Key32::size() + mdSize - 1) / mdSize;
    const uint64_t totalRounds = static_cast<uint64_t>(rounds) * blocks;
    uint64_t done = 0;
    auto hmac = [&](const uint8_t* a, size_t aSize, const uint8_t* b, size_t bSize) {
        return EVP_MD_CTX_copy_ex(work.get(), inner.get()) == 1 && EVP_DigestUpdate(work.get(), a, aSize) == 1 &&
               (bSize == 0 || EVP_DigestUpdate(work.get(), b, bSize) == 1) &&
               EVP_DigestFinal_ex(work.get(), innerDigest, &len) == 1 &&
               EVP_MD_CTX_copy_ex(work.get(), outer.get()) == 1 &&
               EVP_DigestUpdate(work.get(), innerDigest, mdSize) == 1 && EVP_DigestFinal_ex(work.get(), u, &len) == 1;
    };
    for (size_t block = 1; ok && block <= blocks; ++block) {
        const uint8_t index[4] = {static_cast<uint8_t>(block >> 24), static_cast<uint8_t>(block >> 16),
                                  static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block)};
        ok = hmac(salt, saltSize, index, 4);
        if (!ok) break;
        std::memcpy(t, u, mdSize);
        for (uint32_t r = 1; ok && r < rounds; ++r) {
            ok = hmac(u, mdSize, nullptr, 0);
            for (size_t i = 0; i < mdSize; ++i) t[i] ^= u[i];
            if ((r & 0x3fff) == 0 && progress) {
                double fraction = static_cast<double>(done + r) / static_cast<double>(totalRounds);
                if (!progress(progressFrom + (progressTo - progressFrom) * fraction)) ok = false;
            }
        }
        done += rounds;
        const size_t offset = (block - 1) * mdSize;
        std::memcpy(out.data() + offset, t, std::min(mdSize, Key32::size() - offset));
    }
    OPENSSL_cleanse(u, sizeof u);
    OPENSSL_cleanse(t, sizeof t);
    OPENSSL_cleanse(innerDigest, sizeof innerDigest);
    if (!ok) OPENSSL_cleanse(out.data(), Key32::size());
    return ok;
}

}  // namespace

Key32& Key32::operator=(const Key32& other) {
    if (this != &other) bytes_ = other.bytes_;
    return *this;
}

Key32::~Key32() { OPENSSL_cleanse(bytes_.data(), bytes_.size()); }

void wipe(void* data, size_t size) {
    if (data != nullptr && size > 0) OPENSSL_cleanse(data, size);
}
void wipe(std::string& text) {
    wipe(text.data(), text.size());
    text.clear();
}
void wipe(std::vector<uint8_t>& bytes) {
    wipe(bytes.data(), bytes.size());
    bytes.clear();
}

bool pbkdf2(Digest digest, const uint8_t* password, size_t passwordSize, const uint8_t* salt, size_t saltSize,
            uint32_t rounds, Key32& out, const DeriveProgress& progress, double progressFrom, double progressTo) {
    if (rounds == 0) return false;
    const EVP_MD* md = digest == Digest::Sha256 ? EVP_sha256() : EVP_sha1();
    if (progress) {
        return pbkdf2WithProgress(md, password, passwordSize, salt, saltSize, rounds, out, progress, progressFrom,
                                  progressTo);
    }
    static const char kEmpty[1] = {0};
    const char* pass = passwordSize > 0 ? reinterpret_cast<const char*>(password) : kEmpty;
    return PKCS5_PBKDF2_HMAC(pass, static_cast<int>(passwordSize), salt, static_cast<int>(saltSize),
                             static_cast<int>(rounds), md, static_cast<int>(Key32::size()), out.data()) == 1;
}

bool deriveKeyEncryptionKey(const std::string& password, const std::vector<uint8_t>& salt, uint32_t iterations,
                            const std::optional<std::vector<uint8_t>>& dpsl, std::optional<uint32_t> dpic,
                            Key32& kek, const DeriveProgress& progress) {
    const auto* pass = reinterpret_cast<const uint8_t*>(password.data());
    if (dpsl && dpic) {
        Key32 stage1;
        // The SHA-256 stage is nearly all of the cost: give it 99% of the progress.
        if (!pbkdf2(Digest::Sha256, pass, password.size(), dpsl->data(), dpsl->size(), *dpic, stage1, progress, 0.0,
                    0.99)) {
            return false;
        }
        return pbkdf2(Digest::Sha1, stage1.data(), stage1.size(), salt.data(), salt.size(), iterations, kek,
                      progress, 0.99, 1.0);
    }
    return pbkdf2(Digest::Sha1, pass, password.size(), salt.data(), salt.size(), iterations, kek, progress);
}

bool unwrapKey(const Key32& kek, const uint8_t* wrapped, size_t wrappedSize, Key32& out) {
    if (wrapped == nullptr || wrappedSize != 40) return false;
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx) return false;
    EVP_CIPHER_CTX_set_flags(ctx.get(), EVP_CIPHER_CTX_FLAG_WRAP_ALLOW);
    if (EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_wrap(), nullptr, kek.data(), nullptr) != 1) return false;
    uint8_t plain[40];
    int len = 0;
    bool ok = EVP_DecryptUpdate(ctx.get(), plain, &len, wrapped, 40) == 1 && len == 32;
    if (ok) std::memcpy(out.data(), plain, 32);
    OPENSSL_cleanse(plain, sizeof plain);
    return ok;
}

size_t lengthWithoutPadding(const uint8_t* data, size_t size) {
    if (size == 0 || size % 16 != 0) return size;
    const uint8_t n = data[size - 1];
    if (n < 1 || n > 16) return size;
    for (size_t i = size - n; i < size; ++i) {
        if (data[i] != n) return size;
    }
    return size - n;
}

bool decryptBuffer(const Key32& key, const uint8_t* data, size_t size, std::vector<uint8_t>& out) {
    if (size % 16 != 0) return false;
    out.assign(size, 0);
    if (size == 0) return true;
    CipherCtx ctx(EVP_CIPHER_CTX_new());
    const uint8_t iv[16] = {};
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv) != 1) return false;
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);
    int len = 0;
    return EVP_DecryptUpdate(ctx.get(), out.data(), &len, data, static_cast<int>(size)) == 1 &&
           static_cast<size_t>(len) == size;
}

DecryptResult decryptFile(const std::string& source, const std::string& destination, const Key32& key,
                          std::optional<uint64_t> expectedSize) {
    DecryptResult result;
    Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (in.fd < 0) {
        result.error = "cannot open the encrypted file: " + std::string(std::strerror(errno));
        return result;
    }
    struct stat info {};
    if (::fstat(in.fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        result.error = "the encrypted file is not a regular file";
        return result;
    }
    const uint64_t total = static_cast<uint64_t>(info.st_size);
    if (total % 16 != 0) {
        result.error = "the encrypted file is damaged: its length (" + std::to_string(total) +
                       " bytes) is not a whole number of 16-byte blocks";
        return result;
    }
    if (expectedSize && *expectedSize > total) {
        result.error = "the file is shorter than its record says (" + std::to_string(total) + " of " +
                       std::to_string(*expectedSize) + " bytes)";
        return result;
    }

    CipherCtx ctx(EVP_CIPHER_CTX_new());
    const uint8_t iv[16] = {};
    if (!ctx || EVP_DecryptInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv) != 1) {
        result.error = "cannot set up AES-256-CBC";
        return result;
    }
    EVP_CIPHER_CTX_set_padding(ctx.get(), 0);

    Fd out(::open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.fd < 0) {
        result.error = "cannot create the decrypted file: " + std::string(std::strerror(errno));
        return result;
    }
    auto fail = [&](std::string message) {
        ::close(out.fd);
        out.fd = -1;
        ::unlink(destination.c_str());
        result.ok = false;
        result.written = 0;
        result.error = std::move(message);
        return result;
    };

    // Plaintext is written as it is decrypted, except the last block, which is
    // held back until the end shows whether it carries padding. Nothing past
    // `expectedSize` is ever written.
    constexpr size_t kChunk = 1u << 20;
    std::vector<uint8_t> cipher(kChunk), plain(kChunk);
    uint8_t last[16];
    bool haveLast = false;
    uint64_t read = 0, written = 0;
    const uint64_t limit = expectedSize.value_or(UINT64_MAX);
    while (read < total) {
        ssize_t n = readFull(in.fd, cipher.data(), kChunk);
        if (n < 0) return fail("cannot read the encrypted file: " + std::string(std::strerror(errno)));
        if (n == 0) break;
        if (n % 16 != 0) return fail("the encrypted file changed while it was read");
        read += static_cast<uint64_t>(n);
        int len = 0;
        if (EVP_DecryptUpdate(ctx.get(), plain.data(), &len, cipher.data(), static_cast<int>(n)) != 1 || len != n) {
            return fail("AES-256-CBC decryption failed");
        }
        // Emit the previously held block, then all but the new last block.
        if (haveLast && written < limit) {
            size_t take = static_cast<size_t>(std::min<uint64_t>(16, limit - written));
            if (!writeAll(out.fd, last, take)) return fail("cannot write the decrypted file");
            written += take;
        }
        const size_t body = static_cast<size_t>(n) - 16;
        if (written < limit && body > 0) {
            size_t take = static_cast<size_t>(std::min<uint64_t>(body, limit - written));
            if (!writeAll(out.fd, plain.data(), take)) return fail("cannot write the decrypted file");
            written += take;
        }
        std::memcpy(last, plain.data() + body, 16);
        haveLast = true;
    }
    if (read != total) return fail("the encrypted file changed while it was read");

    const uint64_t unpadded = haveLast ? total - 16 + lengthWithoutPadding(last, 16) : 0;
    uint64_t keep = unpadded;
    if (expectedSize) {
        if (*expectedSize == total) {
            keep = total;  // a plaintext that fills its last block and carries no padding
        } else if (*expectedSize <= unpadded) {
            keep = *expectedSize;
            if (unpadded != *expectedSize) {
                result.note = "the decrypted file is longer than its record says (" + std::to_string(unpadded) +
                              " of " + std::to_string(*expectedSize) + " bytes); kept " +
                              std::to_string(*expectedSize);
            }
        } else {
            OPENSSL_cleanse(last, sizeof last);
            return fail("the file is shorter than its record says (" + std::to_string(unpadded) + " of " +
                        std::to_string(*expectedSize) + " bytes)");
        }
    }
    if (haveLast && written < keep) {
        size_t take = static_cast<size_t>(keep - written);
        if (take > 16 || !writeAll(out.fd, last, take)) return fail("cannot write the decrypted file");
        written += take;
    }
    OPENSSL_cleanse(last, sizeof last);
    if (written != keep) return fail("cannot write the decrypted file");
    if (::close(out.fd) != 0) {
        out.fd = -1;
        return fail("cannot write the decrypted file");
    }
    out.fd = -1;
    result.ok = true;
    result.written = written;
    return result;
}

}  // namespace kestrel::crypto
