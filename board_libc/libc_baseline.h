// Binds a C library function to its oldest version, the one every board's library has, where the
// newest default version would be too new for the board (BOARD_LIBC_BASELINE, set in cross builds).
// Used at file scope, once per source file that calls the function:
//
//     BOARD_LIBC_OLDEST(fcntl);
//
// Only for functions whose oldest version does what the caller asks of it; scripts/footprint.sh
// names any symbol that still needs more than the baseline.
#pragma once

#ifdef BOARD_LIBC_BASELINE
#define BOARD_LIBC_OLDEST(symbol) __asm__(".symver " #symbol "," #symbol "@" BOARD_LIBC_BASELINE)
#else
#define BOARD_LIBC_OLDEST(symbol) static_assert(true, "")
#endif
