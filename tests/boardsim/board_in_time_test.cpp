// What the board does as its time passes: a hash board answers only after its power-up, the watchdog
// resets the board when no keep-alive comes in time, and a scenario's settings take effect at their
// times. Each case runs board code in-process against the model and compares the board's own lines.
#include "board_fixture.h"
#include "board_io.h"
#include "chain_cmd.h"
#include "chain_power.h"
#include "zynq_spi.h"

#include <cstdint>
#include <fcntl.h>
#include <linux/watchdog.h>
#include <sys/ioctl.h>

namespace {

using lines = std::vector<std::string>;

// The board's own lines so far: its notes, without the time (the operations' lines left out).
lines notes() {
    lines found;
    for (const std::string &line : boardsim::trace({.time = true, .fd_numbers = false}))
        if (line.find("] #") == std::string::npos && line.find("] wait ") == std::string::npos)
            found.push_back(line);
    return found;
}

enum { output = 0, input = 1 };

// One step of a power-up: a slot line of chain 0 driven, then a wait (in tenths of a second).
struct step {
    int slot; // 0, 1 or 2; -1: the first two bytes of a command sent to the chips instead
    int level;
    int tenths_after;
};

// Whether chain 0's chips answer the reset, after the lines were driven as the steps say.
bool powered_and_asked(const std::vector<step> &steps) {
    spi_config config = chain_spi_config(0);
    spi_ctx *spi = spi_init(&config);
    if (spi == nullptr) return false;
    const chain_lines &l = chain_gpio[0];
    for (const int line : {l.slot0, l.slot1, l.slot2})
        gpio_export(line, output);
    for (const step &s : steps) {
        if (s.slot < 0) {
            const std::uint8_t half[2] = {0x09, 0x0a}; // a register write's first pair
            spi_write_data(spi, half, 2);
            continue;
        }
        gpio_set_value(s.slot == 0 ? l.slot0 : s.slot == 1 ? l.slot1 : l.slot2, s.level);
        if (s.tenths_after > 0) ::usleep(static_cast<useconds_t>(s.tenths_after) * 100000);
    }
    chain_ctx chain{.index = 0, .spi = spi};
    std::uint8_t reply[4] = {};
    ::testing::internal::CaptureStderr();
    const bool answered = vexa_cmd_reset(&chain, 0, reply, 4) != 0;
    ::testing::internal::GetCapturedStderr();
    spi_exit(spi);
    return answered;
}

// The power-up as the probe drives it: slot 0, 5 s, slot 2, 1 s, slot 1, 1 s.
const std::vector<step> in_order{{0, 1, 50}, {2, 1, 10}, {1, 1, 10}};

TEST(power_up, a_hash_board_answers_only_after_its_power_up_in_order_and_in_time) {
    struct board_case {
        std::string name;
        std::string scenario;
        std::vector<step> steps;
        bool answers;
        lines notes;
    };
    for (
        const board_case &c : {
            board_case{"in order", "", in_order, true, {}},
            board_case{"no power-up at all",
                       "",
                       {},
                       false,
                       {"[    0.000000] chain 0: its hash board is not powered up: the chips do not answer"}},
            board_case{"a hash board that needs none", "chain 0 needs-power no", {}, true, {}},
            board_case{
                "slot 2 before slot 0",
                "",
                {{2, 1, 50}, {0, 1, 50}, {1, 1, 10}},
                false,
                {"[    0.000000] chain 0: slot 2 raised before slot 0 (power enable), the board needs slot 0 "
                 "first",
                 "[    5.000000] chain 0: slot 0 (power enable) raised while slot 2 is high, the board needs "
                 "slot 0 first",
                 "[   11.000000] chain 0: its hash board is not powered up: the chips do not answer"}},
            board_case{"slot 2 too soon",
                       "",
                       {{0, 1, 30}, {2, 1, 10}, {1, 1, 10}},
                       false,
                       {"[    3.000000] chain 0: slot 2 raised 3 s after slot 0, the board needs 5 s",
                        "[    5.000000] chain 0: its hash board is not powered up: the chips do not answer"}},
            board_case{"slot 1 too soon",
                       "",
                       {{0, 1, 50}, {2, 1, 5}, {1, 1, 10}},
                       false,
                       {"[    5.500000] chain 0: slot 1 raised 0.5 s after slot 2, the board needs 1 s",
                        "[    6.500000] chain 0: its hash board is not powered up: the chips do not answer"}},
            board_case{
                "commanded too soon",
                "",
                {{0, 1, 50}, {2, 1, 10}, {1, 1, 5}},
                false,
                {"[    6.500000] chain 0: commanded 0.5 s after slot 1, the board needs 1 s: the chips do "
                 "not answer"}},
            board_case{"powered off again",
                       "",
                       {{0, 1, 50}, {2, 1, 10}, {1, 1, 10}, {0, 0, 0}},
                       false,
                       {"[    7.000000] chain 0: its hash board is not powered up: the chips do not answer"}},
            board_case{"powered off and up again, forgetting a command half sent",
                       "",
                       {{0, 1, 50},
                        {2, 1, 10},
                        {1, 1, 10},
                        {-1, 0, 0},
                        {0, 0, 0},
                        {1, 0, 0},
                        {2, 0, 10},
                        {0, 1, 50},
                        {2, 1, 10},
                        {1, 1, 10}},
                       true,
                       {}},
            board_case{
                "no power enable line",
                "gpio 872 absent yes",
                in_order,
                false,
                {"[    5.000000] chain 0: slot 2 raised before slot 0 (power enable), the board needs slot 0 "
                 "first",
                 "[    7.000000] chain 0: its hash board is not powered up: the chips do not answer"}},
            board_case{"a broken slot 2",
                       "gpio 855 broken yes",
                       in_order,
                       false,
                       {"[    6.000000] chain 0: slot 1 raised before slot 2, the board needs slot 2 first",
                        "[    7.000000] chain 0: its hash board is not powered up: the chips do not answer"}},
        }) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(boardsim::load_scenario(c.scenario), "");
        EXPECT_EQ(powered_and_asked(c.steps), c.answers);
        EXPECT_EQ(notes(), c.notes);
        boardsim::deactivate();
    }
}

// ---- the watchdog ----

int open_watchdog() {
    return ::open("/dev/watchdog0", O_WRONLY);
}

void keep_alive(int fd) {
    int unused = 0;
    ::ioctl(fd, WDIOC_KEEPALIVE, &unused);
}

void set_timeout(int fd, int seconds) {
    ::ioctl(fd, WDIOC_SETTIMEOUT, &seconds);
}

// What a program does with the watchdog it opened (fd, set to -1 when it closes it).
void feed_every_50_s(int &fd) {
    for (int i = 0; i < 5; ++i) {
        keep_alive(fd);
        ::sleep(50);
    }
}
void take_a_longer_timeout(int &fd) {
    set_timeout(fd, 120);
    ::sleep(100);
}
void close_it_by_magic(int &fd) {
    ASSERT_EQ(::write(fd, "V", 1), 1);
    ::close(fd);
    fd = -1;
    ::sleep(100);
}
void wait_100_s(int & /*fd*/) {
    ::sleep(100);
}
void never_feed(int & /*fd*/) {
    ::sleep(70);
}
void feed_then_wait_too_long(int &fd) {
    ::sleep(30);
    keep_alive(fd);
    ::sleep(70);
}
void take_a_shorter_timeout(int &fd) {
    set_timeout(fd, 30);
    ::sleep(40);
}
void close_it_without_magic(int &fd) {
    ::sleep(10);
    ::close(fd);
    fd = -1;
    ::sleep(100);
}

// A watchdog fed in time, stopped by the magic close, or on a board where it does not fire, never
// resets the board; the end of the run says what it was left doing.
TEST(watchdog_timer, fed_in_time_or_stopped_it_never_resets_the_board) {
    struct timer_case {
        std::string name;
        std::string scenario;
        void (*run)(int &fd); // closes the watchdog or leaves it open (fd -1 when closed)
        std::string end_note;
    };
    for (const timer_case &c : {
             timer_case{"fed every 50 s", "", feed_every_50_s,
                        "[  250.000000] watchdog: running at the end: the board would reset at 260 s (last "
                        "keep-alive "
                        "at 200 s, timeout 60 s)"},
             timer_case{"a longer timeout", "", take_a_longer_timeout,
                        "[  100.000000] watchdog: running at the end: the board would reset at 120 s (last "
                        "keep-alive "
                        "at 0 s, timeout 120 s)"},
             timer_case{"stopped by the magic close", "", close_it_by_magic, ""},
             timer_case{"on a board where it does not fire", "watchdog fires no", wait_100_s,
                        "[  100.000000] watchdog: running at the end; it does not reset this board "
                        "(\"watchdog fires "
                        "no\")"},
         }) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(boardsim::load_scenario(c.scenario), "");
        int fd = open_watchdog();
        ASSERT_GE(fd, 0);
        c.run(fd);
        boardsim::finish();
        if (fd >= 0) ::close(fd);
        lines own = notes();
        own.pop_back(); // the end line
        EXPECT_EQ(own, c.end_note.empty() ? lines{} : lines{c.end_note});
        boardsim::deactivate();
    }
}

// Starved, the watchdog resets the board when its time runs out: the run ends there, with the status
// 4 and one line that says when and why. A close without the magic "V" does not stop it.
TEST(watchdog_timer, starved_it_resets_the_board) {
    struct starved {
        std::string name;
        void (*run)(int &fd);
        std::string line;
    };
    for (const starved &c : {
             starved{"never fed", never_feed,
                     "boardsim: the watchdog reset the board at 60 s: last keep-alive at 0 s, timeout 60 s"},
             starved{"fed, then waited too long", feed_then_wait_too_long,
                     "boardsim: the watchdog reset the board at 90 s: last keep-alive at 30 s, timeout 60 s"},
             starved{"a shorter timeout", take_a_shorter_timeout,
                     "boardsim: the watchdog reset the board at 30 s: last keep-alive at 0 s, timeout 30 s"},
             starved{"closed without the magic character", close_it_without_magic,
                     "boardsim: the watchdog reset the board at 70 s: last keep-alive at 10 s, timeout 60 s"},
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EXIT(
            {
                boardsim::reset();
                int fd = open_watchdog();
                c.run(fd);
            },
            ::testing::ExitedWithCode(4), "^" + c.line + "\n$");
    }
}

// ---- settings at a time of the run ----

std::string read_line_value(int line) {
    return read_text(("/sys/class/gpio/gpio" + std::to_string(line) + "/value").c_str());
}

TEST(events_in_time, a_setting_takes_effect_at_its_time_and_the_trace_shows_where) {
    ASSERT_EQ(boardsim::load_scenario(
                  "at 20 chain 0 inserted no\nat 30 watchdog busy yes\nat 2.5 gpio 500 reads 1\n"),
              "");
    gpio_export(896, input);
    gpio_export(500, input);
    EXPECT_EQ(read_line_value(896), "0\n");
    EXPECT_EQ(read_line_value(500), "0\n");
    ::sleep(10);
    EXPECT_EQ(read_line_value(500), "1");
    const int dog = open_watchdog();
    EXPECT_GE(dog, 0);
    EXPECT_EQ(::write(dog, "V", 1), 1);
    ::close(dog);
    ::sleep(25); // one wait across two settings' times
    EXPECT_EQ(read_line_value(896), "1\n");
    const int busy = open_watchdog();
    EXPECT_EQ(busy, -1);
    EXPECT_EQ(errno, EBUSY);
    if (busy >= 0) ::close(busy);
    EXPECT_EQ(notes(), (lines{"[    2.500000] scenario: gpio 500 reads 1",
                              "[   20.000000] scenario: chain 0 inserted no",
                              "[   30.000000] scenario: watchdog busy yes"}));
    boardsim::deactivate();
}

// A setting for a unit given at a time before an earlier line's leaves it unclear which holds then:
// refused, with both lines named. Other units, and later times, are free.
TEST(events_in_time, only_an_unclear_order_is_refused) {
    struct order {
        std::string text;
        std::string error;
    };
    for (const order &o : {
             order{"at 20 chain 3 inserted no\nat 10 chain 3 inserted yes\n",
                   "s.scn:2: expected a time of 20 s or later for \"chain 3 inserted\", which line 1 sets at "
                   "20 s: "
                   "which of the two holds would be unclear"},
             order{"at 20 chain * type 3\nchain 5 type 7\n",
                   "s.scn:2: expected a time of 20 s or later for \"chain 5 type\", which line 1 sets at 20 "
                   "s: which "
                   "of the two holds would be unclear"},
             order{"at 20 chain 3 inserted no\nat 10 chain 2 inserted yes\nat 10 chain 3 type 5\n", ""},
             order{"chain 3 inserted no\nat 20 chain 3 inserted yes\nat 20 chain 3 inserted no\n", ""},
             order{"at 1.5 run time-limit 10\nat 1.25 watchdog busy yes\n", ""},
             order{"at 1.1234567 watchdog busy yes\n",
                   "s.scn:1: expected a time in seconds after \"at\", e.g. 20 or 2.5, got \"1.1234567\""},
             order{"at chain 3 inserted no\n",
                   "s.scn:1: expected a time in seconds after \"at\", e.g. 20 or 2.5, got \"chain\""},
         }) {
        SCOPED_TRACE(o.text);
        EXPECT_EQ(boardsim::check_scenario(o.text, "s.scn"), o.error);
    }
}

} // namespace
