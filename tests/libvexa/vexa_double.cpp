// A recording test double of libvexa.so. The real programs load it through LD_LIBRARY_PATH; it
// writes one line per call to the file named by VEXA_DOUBLE_RECORD, as the call happens, so that a
// program ended by a signal still leaves its record. Settings (environment, all optional):
//   VEXA_DOUBLE_LEVEL          g_log_level at load
//   VEXA_DOUBLE_LEVEL_AT_INIT  g_log_level set inside vexa_log_init
//   VEXA_DOUBLE_LEVEL_AFTER    "N=V,..." sets g_log_level to V at the end of the N-th call (from 1)
//   VEXA_DOUBLE_TYPE_BITS      the result of vexa_bucket_get_type_bits (default 255)
// Lines starting with "!" report a broken promise of the caller: storage of the wrong alignment, a
// context changed by its owner while the library held it, a context used outside init..exit, a log
// text longer than 255 characters or lying inside a context.
#include "vexa.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

__attribute__((visibility("default"))) std::int32_t g_log_level = 0; // C linkage from vexa.h

namespace {

constexpr std::size_t text_limit = 255;

struct context {
    std::string name;
    unsigned char *storage;
    std::size_t size;
    unsigned char fill;
    bool live;
};

struct double_state {
    std::string record_path;
    std::map<int, int> level_after;
    bool level_at_init_set = false;
    int level_at_init = 0;
    int type_bits = 255;
    int calls = 0;
    std::vector<context> contexts;
};

double_state &state() {
    static double_state s;
    return s;
}

bool env_int(const char *name, int &value) {
    const char *text = std::getenv(name);
    if (text == nullptr || *text == '\0') return false;
    value = static_cast<int>(std::strtol(text, nullptr, 10));
    return true;
}

__attribute__((constructor)) void load() {
    double_state &s = state();
    if (const char *path = std::getenv("VEXA_DOUBLE_RECORD")) s.record_path = path;
    int value = 0;
    if (env_int("VEXA_DOUBLE_LEVEL", value)) g_log_level = value;
    s.level_at_init_set = env_int("VEXA_DOUBLE_LEVEL_AT_INIT", s.level_at_init);
    env_int("VEXA_DOUBLE_TYPE_BITS", s.type_bits);
    if (const char *after = std::getenv("VEXA_DOUBLE_LEVEL_AFTER")) {
        const char *p = after;
        while (*p != '\0') {
            char *end = nullptr;
            const long call = std::strtol(p, &end, 10);
            if (*end != '=') break;
            const long level = std::strtol(end + 1, &end, 10);
            s.level_after[static_cast<int>(call)] = static_cast<int>(level);
            p = *end == ',' ? end + 1 : end;
        }
    }
}

void record(const std::string &line) {
    const std::string &path = state().record_path;
    if (path.empty()) return;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t n = ::write(fd, text.data(), text.size());
    ::close(fd);
}

std::string quoted(const char *text) {
    if (text == nullptr) return "NULL";
    std::string out = "\"";
    for (const char *p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '\n')
            out += "\\n";
        else if (c == '\t')
            out += "\\t";
        else if (c == '\\' || c == '"')
            out += std::string{"\\"} + static_cast<char>(c);
        else if (c < 0x20 || c >= 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

// Ends every call: the threshold a test asked for after this call takes effect now.
void end_call() {
    double_state &s = state();
    ++s.calls;
    if (auto it = s.level_after.find(s.calls); it != s.level_after.end()) g_log_level = it->second;
}

// The context for this storage, named in order of first appearance ("gpio#1", "bucket#1").
context &context_of(const char *kind, void *storage, std::size_t size) {
    double_state &s = state();
    for (context &c : s.contexts)
        if (c.storage == storage) return c;
    int count = 1;
    for (const context &c : s.contexts)
        if (c.name.rfind(kind, 0) == 0) ++count;
    s.contexts.push_back({std::string{kind} + "#" + std::to_string(count),
                          static_cast<unsigned char *>(storage), size,
                          static_cast<unsigned char>(0xA0 + s.contexts.size()), false});
    return s.contexts.back();
}

// Between init and exit the storage is the library's: the double fills all of it and expects to find
// it untouched. A caller whose storage is smaller than promised has its own data overwritten.
void take(context &c) {
    if (c.storage == nullptr) {
        record("! " + c.name + " is NULL");
        return;
    }
    if (reinterpret_cast<std::uintptr_t>(c.storage) % 4 != 0) record("! " + c.name + " storage misaligned");
    std::memset(c.storage, c.fill, c.size);
    c.live = true;
}

void check(context &c) {
    if (c.storage == nullptr) {
        record("! " + c.name + " is NULL");
        return;
    }
    if (!c.live) {
        record("! " + c.name + " used outside init..exit");
        return;
    }
    for (std::size_t i = 0; i < c.size; ++i) {
        if (c.storage[i] != c.fill) {
            record("! " + c.name + " storage changed by its owner at byte " + std::to_string(i));
            return;
        }
    }
}

void release(context &c) {
    check(c);
    if (c.storage == nullptr) return;
    std::memset(c.storage, 0xDD, c.size);
    c.live = false;
}

std::string call(const char *name, const std::string &args) {
    return std::string{name} + "(" + args + ")";
}

} // namespace

extern "C" __attribute__((visibility("default"))) int vexa_log_init(int level, const char *tag) {
    record(call("vexa_log_init", std::to_string(level) + ", " + quoted(tag)));
    if (state().level_at_init_set) g_log_level = state().level_at_init;
    end_call();
    return 0;
}

extern "C" __attribute__((visibility("default"))) int _vexa_log(int level, const char *text, int flag) {
    record(call("_vexa_log", std::to_string(level) + ", " + quoted(text) + ", " + std::to_string(flag)));
    if (text != nullptr && std::strlen(text) > text_limit) record("! log text longer than 255 characters");
    for (const context &c : state().contexts) {
        const auto *p = reinterpret_cast<const unsigned char *>(text);
        if (c.live && p >= c.storage && p < c.storage + c.size) record("! log text inside " + c.name);
    }
    end_call();
    return 0;
}

extern "C" __attribute__((visibility("default"))) int zynq_gpio_init(zynq_gpio_ctx *gpio, int base,
                                                                     int offset) {
    context &c = context_of("gpio", gpio, sizeof *gpio);
    record(call("zynq_gpio_init", c.name + ", " + std::to_string(base) + ", " + std::to_string(offset)));
    take(c);
    end_call();
    return 0;
}

extern "C" __attribute__((visibility("default"))) int vexa_led_blink(zynq_gpio_ctx *gpio, int delay,
                                                                     int times) {
    context &c = context_of("gpio", gpio, sizeof *gpio);
    record(call("vexa_led_blink", c.name + ", " + std::to_string(delay) + ", " + std::to_string(times)));
    check(c);
    end_call();
    return 0;
}

extern "C" __attribute__((visibility("default"))) int zynq_gpio_exit(zynq_gpio_ctx *gpio) {
    context &c = context_of("gpio", gpio, sizeof *gpio);
    record(call("zynq_gpio_exit", c.name));
    release(c);
    end_call();
    return 0;
}

extern "C" __attribute__((visibility("default"))) int vexa_bucket_init(vexa_bucket_ctx *bucket, int chains,
                                                                       int chips) {
    context &c = context_of("bucket", bucket, sizeof *bucket);
    record(call("vexa_bucket_init", c.name + ", " + std::to_string(chains) + ", " + std::to_string(chips)));
    take(c);
    end_call();
    return 0;
}

extern "C" __attribute__((visibility("default"))) int vexa_bucket_get_type_bits(vexa_bucket_ctx *bucket) {
    context &c = context_of("bucket", bucket, sizeof *bucket);
    const int bits = state().type_bits;
    record(call("vexa_bucket_get_type_bits", c.name) + " -> " + std::to_string(bits));
    check(c);
    end_call();
    return bits;
}

extern "C" __attribute__((visibility("default"))) int vexa_bucket_exit(vexa_bucket_ctx *bucket) {
    context &c = context_of("bucket", bucket, sizeof *bucket);
    record(call("vexa_bucket_exit", c.name));
    release(c);
    end_call();
    return 0;
}
