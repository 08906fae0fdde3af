#pragma once

#include <cstdint>

// GPIO lines through sysfs. Every operation opens its file, does one write or read, and closes it.
void gpio_export(std::int32_t gpio, std::int32_t is_input);
void gpio_set_value(std::int32_t gpio, std::int32_t value);
std::int32_t gpio_get_value(std::int32_t gpio); // 0, 1, or -1 when the line cannot be read

// The fabric clock fclk1, through the device-configuration driver's sysfs files.
void fclk_export();
std::int32_t fclk_set_rate(std::int32_t rate); // the rate read back, or -1
std::int32_t fclk_get_rate();                  // the rate read, or -1

// The voltage generator. Failures are reported on standard error.
void vid_set_value(std::int32_t value);
