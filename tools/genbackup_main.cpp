// kestrel-genbackup: writes a demo or synthetic iTunes-style backup folder.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>

#include "tools/backup_generator.h"

namespace {

using namespace kestrel::gen;

const char* const kUsage =
    "Usage:\n"
    "  kestrel-genbackup --demo DIR\n"
    "  kestrel-genbackup --synthetic DIR [--messages N] [--contacts N] [--handles N]\n"
    "                    [--deleted F] [--deleted-contacts F] [--seed S]\n"
    "                    [--layout ios6|ios5|ios5plain] [--subfolders]\n"
    "  kestrel-genbackup --modern DIR [--ios V] [--messages N] [--seed S] [--wal] [--flat]\n"
    "  (--demo or --synthetic) [--encrypt PASSWORD [--real-iterations] [--mbdb]]\n"
    "  kestrel-genbackup --help\n"
    "\n"
    "Writes a backup folder named after the device's serial number inside DIR\n"
    "(DIR is created if needed) and prints the folder's path.\n"
    "\n"
    "  --demo DIR            the demo device: a few hundred messages between\n"
    "                        recognisable people and their contacts, some deleted\n"
    "  --synthetic DIR       a generated backup of the given size:\n"
    "    --messages N          messages (default 1000)\n"
    "    --contacts N          address-book persons (default 100)\n"
    "    --handles N           correspondents (default 50); person i has the\n"
    "                          phone number of correspondent i\n"
    "    --deleted F           fraction of messages deleted by SQL, 0..1 (default 0.1)\n"
    "    --deleted-contacts F  fraction of persons deleted by SQL, 0..1 (default 0)\n"
    "    --seed S              seed for all generated content (default 1)\n"
    "    --layout L            message database layout: ios6 (default), ios5 (with\n"
    "                          iMessage columns) or ios5plain (without them)\n"
    "    --subfolders          put the databases in two-character sub-folders\n"
    "  --modern DIR          a backup of a current iPhone (message database of\n"
    "                        iOS 11 to 18, modern address book):\n"
    "    --ios V               iOS version 11 to 18 (default 17)\n"
    "    --messages N          messages (default 400)\n"
    "    --seed S              seed for all generated content (default 1)\n"
    "    --wal                 leave the later changes in an un-checkpointed\n"
    "                          write-ahead log beside the message database\n"
    "    --flat                all files in the backup folder itself (default:\n"
    "                          two-character sub-folders)\n"
    "  --encrypt PASSWORD    write a password-protected backup instead: keybag in\n"
    "                        Manifest.plist, encrypted Manifest.db and files (the\n"
    "                        password is visible in the process list: test use only)\n"
    "    --real-iterations     derive the key with the real counts (10,000,000\n"
    "                          SHA-256 and 10,000 SHA-1 rounds; takes seconds);\n"
    "                          the default is 1,000 and 10 rounds\n"
    "    --mbdb                the iOS 5-9 layout: Manifest.mbdb, files flat\n"
    "  --help                print this text\n"
    "\n"
    "Exit status: 0 on success, 1 when the backup cannot be written, 2 for bad arguments.\n";

int usageError(const std::string& message) {
    std::cerr << "kestrel-genbackup: " << message << "\n" << "Try 'kestrel-genbackup --help'.\n";
    return 2;
}

bool parseCount(const std::string& text, int& out) {
    if (text.empty() || text.size() > 9) return false;
    for (char c : text)
        if (c < '0' || c > '9') return false;
    out = std::stoi(text);
    return true;
}

bool parseFraction(const std::string& text, double& out) {
    if (text.empty()) return false;
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end && *end == '\0' && out >= 0.0 && out <= 1.0;
}

}  // namespace

int main(int argc, char** argv) {
    enum class Mode { None, Demo, Synthetic, Modern } mode = Mode::None;
    int ios = 17;
    bool wal = false, flat = false, messagesGiven = false;
    std::string dir;
    int messages = 1000, contacts = 100, handles = 50;
    double deleted = 0.1, deletedContacts = 0.0;
    uint32_t seed = 1;
    MessageLayout layout = MessageLayout::IOS6;
    bool subfolders = false;
    bool syntheticOnlySeen = false;
    std::optional<EncryptOptions> encryption;
    bool realIterations = false, mbdb = false;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--wal" || arg == "--flat") {
            (arg == "--wal" ? wal : flat) = true;
            continue;
        }
        if (arg == "--real-iterations" || arg == "--mbdb") {
            (arg == "--mbdb" ? mbdb : realIterations) = true;
            continue;
        }
        if (arg == "--encrypt") {
            if (i + 1 >= argc) return usageError("missing value after --encrypt");
            encryption = EncryptOptions{};
            encryption->password = argv[++i];
            continue;
        }
        if (arg == "--subfolders") {
            subfolders = true;
            syntheticOnlySeen = true;
            continue;
        }
        if (i + 1 >= argc) return usageError(arg.rfind("--", 0) == 0 ? "missing value after " + arg : "unexpected argument '" + arg + "'");
        std::string value = argv[++i];
        if (arg == "--demo" || arg == "--synthetic" || arg == "--modern") {
            if (mode != Mode::None) return usageError("give only one of --demo, --synthetic and --modern");
            mode = arg == "--demo" ? Mode::Demo : arg == "--synthetic" ? Mode::Synthetic : Mode::Modern;
            dir = value;
            if (dir.empty()) return usageError("the folder must not be empty");
            continue;
        }
        if (arg == "--ios") {
            if (!parseCount(value, ios) || ios < 11 || ios > 18) {
                return usageError("--ios needs a version from 11 to 18, got '" + value + "'");
            }
            continue;
        }
        syntheticOnlySeen = true;
        if (arg == "--messages") messagesGiven = true;
        if (arg == "--messages" || arg == "--contacts" || arg == "--handles") {
            int n = 0;
            if (!parseCount(value, n)) return usageError(arg + " needs a whole number, got '" + value + "'");
            (arg == "--messages" ? messages : arg == "--contacts" ? contacts : handles) = n;
        } else if (arg == "--deleted" || arg == "--deleted-contacts") {
            double f = 0;
            if (!parseFraction(value, f)) return usageError(arg + " needs a fraction from 0 to 1, got '" + value + "'");
            (arg == "--deleted" ? deleted : deletedContacts) = f;
        } else if (arg == "--seed") {
            int s = 0;
            if (!parseCount(value, s)) return usageError("--seed needs a whole number, got '" + value + "'");
            seed = static_cast<uint32_t>(s);
        } else if (arg == "--layout") {
            if (value == "ios6") {
                layout = MessageLayout::IOS6;
            } else if (value == "ios5") {
                layout = MessageLayout::IOS5;
            } else if (value == "ios5plain") {
                layout = MessageLayout::IOS5Plain;
            } else {
                return usageError("--layout must be ios6, ios5 or ios5plain, got '" + value + "'");
            }
        } else {
            return usageError("unknown option '" + arg + "'");
        }
    }
    if (mode == Mode::None) return usageError("give --demo DIR or --synthetic DIR");
    if (mode == Mode::Demo && (syntheticOnlySeen || wal || flat)) return usageError("--demo takes no other options");
    if (mode != Mode::Modern && (wal || flat)) return usageError("--wal and --flat belong to --modern");
    if (!encryption && (realIterations || mbdb)) return usageError("--real-iterations and --mbdb need --encrypt");
    if (mode == Mode::Modern && encryption) return usageError("--encrypt goes with --demo or --synthetic");
    if (mode == Mode::Modern) {
        ModernSpec shape = modernSpec(ios, messagesGiven ? messages : 400, seed);
        shape.wal = wal;
        shape.subfolderLayout = !flat;
        std::filesystem::path folder = std::filesystem::path(dir) / backupFolderName(shape.device);
        std::string error = writeModernBackup(folder, shape);
        if (!error.empty()) {
            std::cerr << "kestrel-genbackup: " << error << "\n";
            return 1;
        }
        std::cout << folder.string() << "\n";
        return 0;
    }

    BackupSpec plan = mode == Mode::Demo
                          ? demoSpec()
                          : syntheticSpec(messages, contacts, handles, deleted, seed, layout, deletedContacts);
    plan.subfolderLayout = subfolders;
    std::filesystem::path folder = std::filesystem::path(dir) / backupFolderName(plan.device);
    std::string error;
    if (encryption) {
        encryption->realIterations = realIterations;
        encryption->mbdbEra = mbdb;
        error = writeEncryptedBackup(folder, plan, *encryption);
    } else {
        error = writeBackup(folder, plan);
    }
    if (!error.empty()) {
        std::cerr << "kestrel-genbackup: " << error << "\n";
        return 1;
    }
    std::cout << folder.string() << "\n";
    return 0;
}
