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
//
// The start is also where the program's stack protector gets its guard value. On 32-bit ARM the
// compiler checks every protected frame against the global __stack_chk_guard, which the C library
// keeps in its loader: a program using that one needs ld-linux-armhf.so.3 as well as libc.so.6. The
// program keeps its own instead, set here before anything protected runs, as the loader sets its
// own: from the kernel's 16 random bytes (AT_RANDOM), the lowest byte zero so that a string copy
// cannot reproduce it. This file itself is built without the protector.
#ifndef BOARD_LIBC_BASELINE
#error "BOARD_LIBC_BASELINE names the C library's oldest symbol version, e.g. GLIBC_2.4"
#endif
#if !defined(__arm__) || !defined(__ARM_EABI__)
#error "the board's start code is for 32-bit ARM EABI (its auxiliary vector, its stack protector guard)"
#endif

#include <elf.h>
#include <stdint.h>

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

__attribute__((visibility("hidden"))) uintptr_t __stack_chk_guard;

// The guard from the auxiliary vector, which follows the environment on the stack the kernel starts
// the program with; without AT_RANDOM (kernels before 2.6.29), a fixed value with a zero, a newline
// and a 0xff byte, which string functions stop at, as the C library's own fallback.
static void set_stack_guard(int argc, char **argv) {
    char **env = argv + argc + 1;
    while (*env != 0)
        ++env;
    uintptr_t guard = (uintptr_t)0xff0a0000;
    for (const Elf32_auxv_t *aux = (const Elf32_auxv_t *)(env + 1); aux->a_type != AT_NULL; ++aux) {
        if (aux->a_type != AT_RANDOM) continue;
        const unsigned char *random = (const unsigned char *)aux->a_un.a_val;
        guard = 0;
        for (unsigned i = 0; i < sizeof guard; ++i)
            guard |= (uintptr_t)random[i] << (8 * i);
        guard &= ~(uintptr_t)0xff;
        break;
    }
    __stack_chk_guard = guard;
}

__attribute__((visibility("hidden"))) int __libc_start_main(main_function main, int argc, char **argv,
                                                            init_function init, void (*fini)(void),
                                                            void (*rtld_fini)(void), void *stack_end) {
    set_stack_guard(argc, argv);
    return board_libc_start_main(main, argc, argv, init != 0 ? init : run_initialisers, fini, rtld_fini,
                                 stack_end);
}
