/* The board support library, libvexa.so, as the board programs call it. The library itself is the
   board's own; these declarations are all that the programs rely on. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Context objects live in storage that the caller owns; the library keeps its state inside them
   from the _init call to the _exit call and never beyond their size. */
typedef struct zynq_gpio_ctx {
    uint32_t storage[3];
} zynq_gpio_ctx;

typedef struct vexa_bucket_ctx {
    uint32_t storage[3713];
} vexa_bucket_ctx;

/* The log threshold: a line of level L is sent only while g_log_level <= L. The library may change
   it in any call, so callers read it afresh before every line. */
extern int32_t g_log_level; /* NOLINT(bugprone-dynamic-static-initializers): a declaration; the library
                               defines and initialises it */

int vexa_log_init(int level, const char *tag);
/* text is consumed before the call returns. flag 1 is the ordinary form, 0 the vexa_log_nt form. */
int _vexa_log(int level, const char *text, int flag);

int zynq_gpio_init(zynq_gpio_ctx *gpio, int base, int offset);
int vexa_led_blink(zynq_gpio_ctx *gpio, int delay, int times);
int zynq_gpio_exit(zynq_gpio_ctx *gpio);

int vexa_bucket_init(vexa_bucket_ctx *bucket, int chains, int chips);
/* The low 8 bits of the result are the chip type code. */
int vexa_bucket_get_type_bits(vexa_bucket_ctx *bucket);
int vexa_bucket_exit(vexa_bucket_ctx *bucket);

#ifdef __cplusplus
}
static_assert(sizeof(zynq_gpio_ctx) == 12 && alignof(zynq_gpio_ctx) == 4,
              "zynq_gpio_ctx is 12 bytes, 4-aligned");
static_assert(sizeof(vexa_bucket_ctx) == 14852 && alignof(vexa_bucket_ctx) == 4,
              "vexa_bucket_ctx is 14852 bytes, 4-aligned");
#else
_Static_assert(sizeof(zynq_gpio_ctx) == 12 && _Alignof(zynq_gpio_ctx) == 4,
               "zynq_gpio_ctx is 12 bytes, 4-aligned");
_Static_assert(sizeof(vexa_bucket_ctx) == 14852 && _Alignof(vexa_bucket_ctx) == 4,
               "vexa_bucket_ctx is 14852 bytes, 4-aligned");
#endif
