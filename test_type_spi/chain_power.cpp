#include "chain_power.h"

#include "board_io.h"

#include <unistd.h>

void power_up(const spi_ctx &spi) {
    sleep(1);
    gpio_set_value(spi.gpio[1], 0);
    gpio_set_value(spi.gpio[2], 0);
    sleep(5);
    gpio_set_value(spi.gpio[0], 1);
    sleep(5);
    gpio_set_value(spi.gpio[2], 1);
    sleep(1);
    gpio_set_value(spi.gpio[1], 1);
    sleep(1);
}
