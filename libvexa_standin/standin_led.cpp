#include "board_io.h"
#include "standin_state.h"
#include "vexa.h"

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace {

constexpr std::uint32_t led_ready = 0x4c454421;

struct led_state {
    std::uint32_t ready;
    std::int32_t line;
    std::int32_t level;
};

enum { gpio_output = 0 };

void wait_ms(int delay) {
    if (delay <= 0) return;
    timespec left{.tv_sec = delay / 1000, .tv_nsec = static_cast<long>(delay % 1000) * 1000000L};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

} // namespace

extern "C" VEXA_EXPORT int zynq_gpio_init(zynq_gpio_ctx *gpio, int base, int offset) {
    if (gpio == nullptr) return -1;
    store_state(gpio, led_state{});
    const std::int64_t line = static_cast<std::int64_t>(base) + offset;
    if (line < 0 || line > INT32_MAX) return -1;

    const auto number = static_cast<std::int32_t>(line);
    gpio_export(number, gpio_output);
    gpio_set_value(number, 0);
    // The export and the write report nothing; reading the level back tells whether the line exists.
    if (gpio_get_value(number) != 0) return -1;
    store_state(gpio, led_state{.ready = led_ready, .line = number, .level = 0});
    return 0;
}

extern "C" VEXA_EXPORT int vexa_led_blink(zynq_gpio_ctx *gpio, int delay, int times) {
    if (gpio == nullptr) return -1;
    auto led = load_state<led_state>(gpio);
    if (led.ready != led_ready) return -1;
    for (int i = 0; i < times; ++i) {
        led.level ^= 1;
        gpio_set_value(led.line, led.level);
        wait_ms(delay);
    }
    store_state(gpio, led);
    return 0;
}

extern "C" VEXA_EXPORT int zynq_gpio_exit(zynq_gpio_ctx *gpio) {
    if (gpio == nullptr) return -1;
    const auto led = load_state<led_state>(gpio);
    if (led.ready != led_ready) return -1;
    gpio_set_value(led.line, 0);
    store_state(gpio, led_state{});
    return 0;
}
