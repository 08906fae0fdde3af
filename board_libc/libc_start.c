// The program entry for boards whose C library is older than ours.
//
// From glibc 2.34 on, the start file hands __libc_start_main no initialiser and the library runs the
// program's _init and .init_array itself. That entry carries the version GLIBC_2.34, which an older
// library lacks: the program would not even load there. The start file's call lands here instead and
// goes on to the entry's first version (BOARD_LIBC_BASELINE), which every library of the architecture
// has, handing it what the start files of the older libraries handed it: a function that runs _init
// and .init_array. Every library runs what it is handed, and then not the program's own initialisers
// a second time; the loader runs .preinit_array before, and .fini_array at exit, on all of them.
// A start file that does hand an initialiser (an older toolchain's) keeps its own.
#ifndef BOARD_LIBC_BASELINE
#error "BOARD_LIBC_BASELINE names the C library's oldest symbol version, e.g. GLIBC_2.4"
#endif

typedef int (*main_function)(int, char **, char **);
typedef void (*init_function)(int, char **, char **);

int board_libc_start_main(main_function main, int argc, char **argv, init_function init, void (*fini)(void),
                          void (*rtld_fini)(void), void *stack_end);
__asm__(".symver board_libc_start_main, __libc_start_main@" BOARD_LIBC_BASELINE);

extern void _init(void);
extern init_function __init_array_start[] __attribute__((visibility("hidden")));
extern init_function __init_array_end[] __attribute__((visibility("hidden")));

static void run_initialisers(int argc, char **argv, char **envp) {
    _init();
    for (init_function *f = __init_array_start; f < __init_array_end; ++f)
        (*f)(argc, argv, envp);
}

__attribute__((visibility("hidden"))) int __libc_start_main(main_function main, int argc, char **argv,
                                                            init_function init, void (*fini)(void),
                                                            void (*rtld_fini)(void), void *stack_end) {
    return board_libc_start_main(main, argc, argv, init != 0 ? init : run_initialisers, fini, rtld_fini,
                                 stack_end);
}
