// libdl.so.2 as the linker is to see it: dlsym at the oldest version, where older C libraries keep it.
//
// From glibc 2.34 on, dlsym lives in libc.so.6 (with its old version kept for old programs) and
// libdl.so.2 is an empty shell. A file linked against those records libc.so.6 as the home of
// dlsym@GLIBC_2.4, and an older loader, whose libc.so.6 has no dlsym, refuses it. Linked against this
// instead, the file names libdl.so.2 as the home, and every loader finds dlsym there or, from 2.34 on,
// in libc.so.6. Only ever linked against: its file is not called libdl.so.2, so no loader loads it.
void *dlsym(void *handle, const char *name) {
    (void)handle;
    (void)name;
    __builtin_trap();
}
