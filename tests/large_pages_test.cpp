#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "app/large_pages.h"

namespace kestrel {
namespace {

// The VmFlags of the mapping that holds `address`, from /proc/self/smaps.
std::string flagsOfMappingAt(const void* address) {
    const auto at = reinterpret_cast<uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        uintptr_t from = 0, to = 0;
        char dash = 0;
        std::istringstream head(line);
        if (head >> std::hex >> from >> dash >> to && dash == '-' && line.find(':') > line.find(' ')) {
            inside = at >= from && at < to;
            continue;
        }
        if (inside && line.rfind("VmFlags:", 0) == 0) return line;
    }
    return std::string();
}

bool largePagesOnRequest() {
    std::ifstream f("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string modes;
    std::getline(f, modes);
    return modes.find("[always]") != std::string::npos || modes.find("[madvise]") != std::string::npos;
}

// The requests must land on the heaps that the blocks of the calling thread
// come from, including what the main arena's brk heap grows into afterwards:
// the calls work out where those heaps lie from how glibc lays them out,
// which this checks against the kernel's own list of mappings.
TEST(LargePages, TheHeapsOfTheCallingThreadsAskForThem) {
    if (!largePagesCanBeAskedFor()) GTEST_SKIP() << "a sanitizer build has its own allocator";
    if (!largePagesOnRequest()) GTEST_SKIP() << "this kernel gives no large pages on request";

    std::string threadFlags, laterThreadFlags;
    std::thread worker([&] {
        preferLargePagesForThisThread();
        void* block = std::malloc(256);
        threadFlags = flagsOfMappingAt(block);
        // Blocks taken later, as the heap grows, are covered too.
        void* more[64];
        for (void*& m : more) m = std::malloc(100 << 10);
        laterThreadFlags = flagsOfMappingAt(more[63]);
        for (void* m : more) std::free(m);
        std::free(block);
    });
    worker.join();
    EXPECT_NE(threadFlags.find(" hg"), std::string::npos) << threadFlags;
    EXPECT_NE(laterThreadFlags.find(" hg"), std::string::npos) << laterThreadFlags;

    // The main arena: the blocks this thread takes after the call, up to a
    // few megabytes, lie in the part of the brk heap the call asked for.
    preferLargePagesForThisThread();
    void* blocks[40];
    for (void*& b : blocks) b = std::malloc(100 << 10);
    const std::string first = flagsOfMappingAt(blocks[0]);
    const std::string last = flagsOfMappingAt(blocks[39]);
    for (void* b : blocks) std::free(b);
    EXPECT_NE(first.find(" hg"), std::string::npos) << first;
    EXPECT_NE(last.find(" hg"), std::string::npos) << last;
}

}  // namespace
}  // namespace kestrel
