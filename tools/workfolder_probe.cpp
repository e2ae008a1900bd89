// Makes a working folder, copies the file named on the command line into it,
// prints the folder's path on a line of its own and then, by mode:
//   hold   waits until a signal ends the process;
//   write  writes lines to standard output until that fails (SIGPIPE);
//   scan   runs as a scan that polls the stop flag, and on a stop prints
//          "stopped" and ends normally.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "app/working_folder.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s hold|write|scan FILE\n", argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    std::unique_ptr<kestrel::ScanRunning> scan;
    if (mode == "scan") scan = std::make_unique<kestrel::ScanRunning>();
    std::string error;
    auto folder = kestrel::WorkingFolder::create(&error);
    if (!folder) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    kestrel::CopyOutcome outcome = folder->copyIn(argv[2], "copy");
    if (!outcome.copied()) {
        std::fprintf(stderr, "%s\n", outcome.reason.c_str());
        return 1;
    }
    std::printf("%s\n", folder->path().c_str());
    std::fflush(stdout);
    if (mode == "write") {
        while (std::puts("line") >= 0 && std::fflush(stdout) == 0) {
        }
        return 3;
    }
    if (scan) {
        while (!kestrel::stopRequested()) ::usleep(1000);
        std::printf("stopped\n");
        return 0;
    }
    while (true) ::pause();
}
