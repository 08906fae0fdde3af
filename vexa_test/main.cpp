// vexa_test: the board test. Logs at every level, blinks the board LED with the delay and count
// given, and reports the fan test as not implemented. Everything it says goes to the board log.
#include "decimal.h"
#include "log_line.h"
#include "vexa.h"

#include <cstdio>

namespace {

constexpr int led_gpio_base = 881;
constexpr int first_log_level = 1;
constexpr int last_log_level = 8;

} // namespace

int main(int argc, char **argv) {
    if (argc < 5) {
        std::fputs("usage: vexa_test <first> <second> <delay> <times>\n", stderr);
        return 2;
    }
    const int first = parse_decimal(argv[1]);
    const int second = parse_decimal(argv[2]);
    const int delay = parse_decimal(argv[3]);
    const int times = parse_decimal(argv[4]);

    log_buffer line;
    log_gated(line, 1, 1, "%d,%d,%d,%d.\n", first, second, delay, times);
    vexa_log_init(5, "vexa_test");
    for (int level = first_log_level; level <= last_log_level; ++level)
        log_gated(line, level, 1, "%d\n", level);
    log_gated(line, 1, 0, "nt:%s\n", "vexa_log_nt");

    zynq_gpio_ctx gpio{};
    zynq_gpio_init(&gpio, led_gpio_base, 0);
    log_gated(line, 1, 1, "led test delay:%d,times:%d.\n", delay, times);
    vexa_led_blink(&gpio, delay, times);
    zynq_gpio_exit(&gpio);
    log_gated(line, 1, 1, "vexa_led_blink done.\n");

    log_gated(line, 1, 1, "%s not impl.\n", "vexa_fan_test");
    return 0;
}
