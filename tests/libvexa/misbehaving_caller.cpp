// A caller that breaks the library's promises on purpose, one way per mode, so that the double's
// checks are seen to catch what they claim to.
#include "vexa.h"

#include <cstring>
#include <string>

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "misaligned") {
        alignas(4) unsigned char raw[sizeof(zynq_gpio_ctx) + 4] = {};
        auto *gpio = reinterpret_cast<zynq_gpio_ctx *>(raw + 2);
        zynq_gpio_init(gpio, 881, 0);
        zynq_gpio_exit(gpio);
    } else if (mode == "changed") {
        vexa_bucket_ctx bucket{};
        vexa_bucket_init(&bucket, 8, 72);
        reinterpret_cast<unsigned char *>(&bucket)[14851] = 0;
        vexa_bucket_get_type_bits(&bucket);
        vexa_bucket_exit(&bucket);
    } else if (mode == "outside") {
        zynq_gpio_ctx gpio{};
        vexa_led_blink(&gpio, 1, 1);
        zynq_gpio_init(&gpio, 881, 0);
        zynq_gpio_exit(&gpio);
        vexa_led_blink(&gpio, 1, 1);
    } else if (mode == "texts") {
        vexa_bucket_ctx bucket{};
        vexa_bucket_init(&bucket, 8, 72);
        char *inside = reinterpret_cast<char *>(&bucket);
        std::strcpy(inside, "x"); // NOLINT(clang-analyzer-security.insecureAPI.strcpy): two bytes into 14852
        _vexa_log(1, inside, 1);
        const std::string long_text(256, 'y');
        _vexa_log(1, long_text.c_str(), 1);
    } else if (mode == "null") {
        zynq_gpio_init(nullptr, 881, 0);
    }
    return 0;
}
