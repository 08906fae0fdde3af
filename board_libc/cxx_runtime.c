// For board-side files that carry the C++ runtime (libstdc++, linked statically) to a board.
//
// libstdc++ built against glibc 2.32 or newer reads the C library's __libc_single_threaded to skip
// atomic operations while a process has one thread; older libraries lack it, and a file needing it
// would not load there. This copy, the file's own, says "perhaps more than one thread", so libstdc++
// always takes the atomic path, as it did before the C library told.
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
