// Times the two costly steps of opening an encrypted backup:
//  1. the key derivation with the real counts (10,000,000 PBKDF2-HMAC-SHA256
//     rounds, then 10,000 PBKDF2-HMAC-SHA1), through OpenSSL's PBKDF2 (the
//     call without progress) and through the rounds run here (the call with a
//     progress callback), against the `openssl kdf` command for the same
//     parameters, timed in the same run; target: at most 1.2 times the command;
//  2. the decryption of one large file (200 MB by default) from an encrypted
//     file to a plaintext one; target: at least 500 MB/s.
//
// Usage: bench_crypto [MEGABYTES] [RUNS] [FOLDER]
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_support.h"
#include "crypto/key_material.h"

using namespace kestrel;
using namespace kestrel::bench;
namespace fs = std::filesystem;

namespace {

std::string hex(const uint8_t* data, size_t size) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += kHex[data[i] >> 4];
        out += kHex[data[i] & 15];
    }
    return out;
}

// Runs a shell command and returns its standard output (empty on failure).
std::string capture(const std::string& command) {
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) out += buffer;
    if (::pclose(pipe) != 0) out.clear();
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

// `openssl kdf` prints the key as colon-separated upper-case hex.
std::string normalise(std::string text) {
    std::string out;
    for (char c : text) {
        if (c == ':') continue;
        out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return out;
}

// CPU seconds of the finished children (this process's own: processCpu()):
// on a shared machine these compare the work done, where wall-clock time
// also counts waiting for a core.
double childrenCpu() {
    rusage u{};
    getrusage(RUSAGE_CHILDREN, &u);
    return cpuOf(u);
}

}  // namespace

int main(int argc, char** argv) {
    const size_t megabytes = argc > 1 ? static_cast<size_t>(std::atoi(argv[1])) : 200;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    std::string base = argc > 3 ? argv[3] : (fs::temp_directory_path() / "kestrel-bench-crypto-XXXXXX").string();
    if (argc <= 3 && mkdtemp(base.data()) == nullptr) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }

    // 1. Key derivation with the real counts.
    const std::string password = "correct horse battery staple";
    std::vector<uint8_t> salt(20), dpsl(20);
    RAND_bytes(salt.data(), 20);
    RAND_bytes(dpsl.data(), 20);
    constexpr uint32_t kSha256Rounds = 10000000, kSha1Rounds = 10000;

    auto start = Clock::now();
    double cpu = processCpu();
    crypto::Key32 kekPlain;
    if (!crypto::deriveKeyEncryptionKey(password, salt, kSha1Rounds, dpsl, kSha256Rounds, kekPlain)) return 1;
    const double oursPlain = seconds(Clock::now() - start);
    const double oursPlainCpu = processCpu() - cpu;

    start = Clock::now();
    cpu = processCpu();
    crypto::Key32 kekStepped;
    int calls = 0;
    if (!crypto::deriveKeyEncryptionKey(password, salt, kSha1Rounds, dpsl, kSha256Rounds, kekStepped, [&](double) {
            ++calls;
            return true;
        })) {
        return 1;
    }
    const double oursStepped = seconds(Clock::now() - start);
    const double oursSteppedCpu = processCpu() - cpu;

    // The same two stages through the command.
    start = Clock::now();
    cpu = childrenCpu();
    const std::string stage1 = normalise(capture(
        "openssl kdf -keylen 32 -kdfopt digest:SHA256 -kdfopt hexpass:" +
        hex(reinterpret_cast<const uint8_t*>(password.data()), password.size()) + " -kdfopt hexsalt:" +
        hex(dpsl.data(), 20) + " -kdfopt iter:" + std::to_string(kSha256Rounds) + " PBKDF2"));
    const std::string kekCommand = normalise(capture("openssl kdf -keylen 32 -kdfopt digest:SHA1 -kdfopt hexpass:" +
                                                     stage1 + " -kdfopt hexsalt:" + hex(salt.data(), 20) +
                                                     " -kdfopt iter:" + std::to_string(kSha1Rounds) + " PBKDF2"));
    const double command = seconds(Clock::now() - start);
    const double commandCpu = childrenCpu() - cpu;
    const bool same = kekCommand == hex(kekPlain.data(), 32) && kekPlain == kekStepped;

    std::printf("key derivation, 10,000,000 SHA-256 + 10,000 SHA-1 rounds:\n");
    std::printf("                                 wall (x command)   CPU (x command)\n");
    std::printf("  openssl kdf (command)          %6.2f s           %6.2f s\n", command, commandCpu);
    std::printf("  Kestrel, no progress (PBKDF2)  %6.2f s (%.2f x)  %6.2f s (%.2f x)\n", oursPlain, oursPlain / command,
                oursPlainCpu, oursPlainCpu / commandCpu);
    std::printf("  Kestrel, with progress         %6.2f s (%.2f x)  %6.2f s (%.2f x), %d progress calls\n", oursStepped,
                oursStepped / command, oursSteppedCpu, oursSteppedCpu / commandCpu, calls);
    std::printf("  keys agree with the command: %s\n", same ? "yes" : "NO");

    // 2. Decryption of one large file.
    const fs::path cipherPath = fs::path(base) / "big.enc", plainPath = fs::path(base) / "big.db";
    const size_t size = megabytes * 1024 * 1024;
    uint8_t key[32];
    RAND_bytes(key, 32);
    {
        EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
        const uint8_t iv[16] = {};
        EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv);
        std::ofstream out(cipherPath, std::ios::binary | std::ios::trunc);
        std::vector<uint8_t> chunk(1 << 20), encrypted((1 << 20) + 16);
        for (size_t done = 0; done < size; done += chunk.size()) {
            for (size_t i = 0; i < chunk.size(); i += 4096) chunk[i] = static_cast<uint8_t>(done / 4096 + i);
            int len = 0;
            EVP_EncryptUpdate(ctx, encrypted.data(), &len, chunk.data(), static_cast<int>(chunk.size()));
            out.write(reinterpret_cast<const char*>(encrypted.data()), len);
        }
        int len = 0;
        EVP_EncryptFinal_ex(ctx, encrypted.data(), &len);
        out.write(reinterpret_cast<const char*>(encrypted.data()), len);
        EVP_CIPHER_CTX_free(ctx);
    }
    crypto::Key32 fileKey(key);
    std::vector<double> times, cpuTimes;
    bool ok = true;
    for (int r = 0; r < runs; ++r) {
        fs::remove(plainPath);
        start = Clock::now();
        cpu = processCpu();
        crypto::DecryptResult result = crypto::decryptFile(cipherPath.string(), plainPath.string(), fileKey, size);
        times.push_back(seconds(Clock::now() - start));
        cpuTimes.push_back(processCpu() - cpu);
        ok = ok && result.ok && result.written == size;
    }
    const double t = median(times), c = median(cpuTimes);
    std::printf("decryption of a %zu MB file (median of %d runs): wall %.3f s = %.0f MB/s, CPU %.3f s = %.0f MB/s%s\n",
                megabytes, runs, t, static_cast<double>(megabytes) / t, c, static_cast<double>(megabytes) / c,
                ok ? "" : " (FAILED)");

    std::error_code ec;
    if (argc <= 3) fs::remove_all(base, ec);
    return same && ok ? 0 : 1;
}
