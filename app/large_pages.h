// Large pages for the heaps of the threads that build a scan's records.
//
// A scan's worker, carving and reader threads each fill tens of megabytes of
// malloc heap with records. Every first touch of a 4 KiB page is a page
// fault, and on a virtual machine a fault costs microseconds (about 13 µs on
// the build machine): at 200,000 messages a sixth of the scan's processor
// time went to them. Backed by 2 MiB pages, the same memory takes one fault
// per 512 pages.
//
// The kernel gives a heap 2 MiB pages only where the process asked for them
// (madvise MADV_HUGEPAGE, the usual setting of
// /sys/kernel/mm/transparent_hugepage/enabled) and only for whole 2 MiB
// ranges the heap already reaches; so the heaps also grow by 32 MiB at a time
// (M_TOP_PAD), and keep as much free at their top.
//
// A hint only: where the kernel gives no large pages (THP set to "never", a
// kernel without them) or the allocator is not glibc's arena allocator (the
// sanitizer builds), nothing changes.
#pragma once

namespace kestrel {

// Asks for large pages for the calling thread's malloc arena (a thread's
// own, not the main thread's, which grows by brk) and sets the heaps' growth
// step, once per process. Called at the start of a thread that allocates a
// lot; harmless anywhere.
void preferLargePagesForThisThread();

// Whether the calls above reach the allocator: false in the sanitizer
// builds, whose allocator is their own.
bool largePagesCanBeAskedFor();

}  // namespace kestrel
