// The board's files as plain system calls and the chain probe's board I/O see them: GPIO, fclk1, SPI
// ports, the voltage generator and the watchdog; the virtual clock; what passes through untouched.
#include "board_fixture.h"
#include "board_io.h"
#include "zynq_spi.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fstream>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using lines = std::vector<std::string>;

class board_files : public board_test {};

// ---- GPIO ----

TEST_F(board_files, a_line_appears_when_exported_and_an_output_reads_back_its_level) {
    EXPECT_EQ(::open("/sys/class/gpio/gpio872/value", O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(boardsim::gpio(872), std::nullopt);

    gpio_export(872, 0);
    EXPECT_EQ(read_text("/sys/class/gpio/gpio872/direction"), "out\n");
    EXPECT_EQ(gpio_get_value(872), 0);
    gpio_set_value(872, 5);
    EXPECT_EQ(read_text("/sys/class/gpio/gpio872/value"), "1\n");
    EXPECT_EQ(boardsim::gpio(872), (boardsim::gpio_state{true, true, 1}));

    EXPECT_EQ(trace_from(), (lines{
                                "#1 open /sys/class/gpio/gpio872/value O_RDONLY = -1 ENOENT",
                                "#2 open /sys/class/gpio/export O_WRONLY = fd",
                                "#3 write /sys/class/gpio/export \"872\" (3) = 3",
                                "#4 close /sys/class/gpio/export = 0",
                                "#5 open /sys/class/gpio/gpio872/direction O_WRONLY = fd",
                                "#6 write /sys/class/gpio/gpio872/direction \"out\\0\" (4) = 4",
                                "#7 close /sys/class/gpio/gpio872/direction = 0",
                                "#8 open /sys/class/gpio/gpio872/direction O_RDONLY = fd",
                                "#9 read /sys/class/gpio/gpio872/direction ask 64 = 4 \"out\\n\"",
                                "#10 close /sys/class/gpio/gpio872/direction = 0",
                                "#11 open /sys/class/gpio/gpio872/value O_RDONLY = fd",
                                "#12 read /sys/class/gpio/gpio872/value ask 1 = 1 \"0\"",
                                "#13 close /sys/class/gpio/gpio872/value = 0",
                                "#14 open /sys/class/gpio/gpio872/value O_WRONLY = fd",
                                "#15 write /sys/class/gpio/gpio872/value \"1\\0\" (2) = 2",
                                "#16 close /sys/class/gpio/gpio872/value = 0",
                                "#17 open /sys/class/gpio/gpio872/value O_RDONLY = fd",
                                "#18 read /sys/class/gpio/gpio872/value ask 64 = 2 \"1\\n\"",
                                "#19 close /sys/class/gpio/gpio872/value = 0",
                            }));
}

TEST_F(board_files, inputs_read_the_scenario_and_insertion_lines_follow_the_chains) {
    load("chain * inserted no\nchain 3 inserted yes\ngpio 700 reads \"x\"\ngpio 701 reads \"\"\n"
         "gpio 899 reads 1");
    for (int line : {896, 897, 898, 899, 900, 903, 700, 701, 702})
        gpio_export(line, 1);
    EXPECT_EQ(gpio_get_value(896), 1);
    EXPECT_EQ(gpio_get_value(898), 1);
    EXPECT_EQ(gpio_get_value(899), 1) << "a gpio line setting wins over the chain";
    EXPECT_EQ(read_text("/sys/class/gpio/gpio900/value"), "1\n");
    EXPECT_EQ(gpio_get_value(700), 1);
    EXPECT_EQ(read_text("/sys/class/gpio/gpio700/value"), "x");
    EXPECT_EQ(gpio_get_value(701), 1) << "a read that delivers nothing";
    EXPECT_EQ(gpio_get_value(702), 0);
    EXPECT_EQ(read_text("/sys/class/gpio/gpio896/direction"), "in\n");

    load("chain 3 inserted yes");
    gpio_export(899, 1);
    EXPECT_EQ(gpio_get_value(899), 0);
    EXPECT_EQ(gpio_get_value(896), -1) << "not exported on this fresh board";

    // Control bytes and DEL are written as escapes in the trace, the rest as they are.
    load("gpio 703 reads \"\\x1f\\x7f~\\x80\"");
    gpio_export(703, 1);
    EXPECT_EQ(read_text("/sys/class/gpio/gpio703/value"), "\x1f\x7f~\x80");
    EXPECT_EQ(trace_from("read /sys/class/gpio/gpio703/value").front(),
              R"(#8 read /sys/class/gpio/gpio703/value ask 64 = 4 "\x1f\x7f~\x80")");
}

// What one open, one write and one close give: the bytes taken, or minus the error.
int write_to(const char *path, std::string_view text) {
    const int fd = ::open(path, O_WRONLY);
    if (fd < 0) return -errno;
    const ssize_t n = ::write(fd, text.data(), text.size());
    const int e = errno;
    ::close(fd);
    return n < 0 ? -e : static_cast<int>(n);
}

TEST_F(board_files, sysfs_refuses_what_the_kernel_refuses) {
    EXPECT_EQ(write_to("/sys/class/gpio/export", "900"), 3);
    EXPECT_EQ(write_to("/sys/class/gpio/export", "900\n"), -EBUSY) << "exported twice";
    EXPECT_EQ(write_to("/sys/class/gpio/export", "nine"), -EINVAL);
    EXPECT_EQ(write_to("/sys/class/gpio/gpio900/value", "1"), -EPERM) << "a new line is an input";
    EXPECT_EQ(write_to("/sys/class/gpio/gpio900/direction", "sideways"), -EINVAL);
    EXPECT_EQ(write_to("/sys/class/gpio/gpio900/direction", "high\n"), 5);
    EXPECT_EQ(read_text("/sys/class/gpio/gpio900/value"), "1\n");
    EXPECT_EQ(write_to("/sys/class/gpio/gpio900/value", "on"), -EINVAL);
    EXPECT_EQ(write_to("/sys/class/gpio/unexport", "900"), 3);
    EXPECT_EQ(write_to("/sys/class/gpio/gpio900/value", "0"), -ENOENT);
    EXPECT_EQ(write_to("/sys/class/gpio/unexport", "900"), -EINVAL);
    EXPECT_EQ(read_text("/sys/class/gpio/export"), "<no file>") << "write-only";
    EXPECT_EQ(write_to("/sys/class/gpio/gpiochip0/label", "x"), -ENOENT);

    // A descriptor keeps its own access mode.
    EXPECT_EQ(write_to("/sys/class/gpio/export", "901"), 3);
    const int fd = ::open("/sys/class/gpio/gpio901/value", O_RDONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::write(fd, "1", 1), -1);
    EXPECT_EQ(errno, EBADF);
    ::close(fd);
}

TEST_F(board_files, a_broken_line_exports_but_its_files_cannot_be_opened) {
    load("gpio 896 broken yes");
    gpio_export(896, 1);
    EXPECT_EQ(gpio_get_value(896), -1);
    EXPECT_EQ(boardsim::gpio(896), (boardsim::gpio_state{true, false, 0}));
    EXPECT_EQ(trace_from("direction"),
              (lines{"#4 open /sys/class/gpio/gpio896/direction O_WRONLY = -1 ENOENT",
                     "#5 open /sys/class/gpio/gpio896/value O_RDONLY = -1 ENOENT"}));
}

// Answers that differed from a real kernel's until the board was measured on one.
TEST_F(board_files, refusals_as_a_real_kernel_gives_them) {
    load("gpio 870-879 absent yes\nwatchdog timeout-range 1 65535");
    EXPECT_EQ(write_to("/sys/class/gpio/export", "872"), -EINVAL) << "no such line";
    EXPECT_EQ(write_to("/sys/class/gpio/export", "880"), 3);
    EXPECT_EQ(write_to("/sys/class/gpio/export", "100000"), 6) << "the highest line a controller may have";
    EXPECT_EQ(write_to("/sys/class/gpio/export", "100001"), -EINVAL);
    for (const int flags : {O_RDONLY, O_RDWR}) {
        EXPECT_EQ(::open("/sys/class/gpio/unexport", flags), -1);
        EXPECT_EQ(errno, EACCES);
    }

    const int port = ::open("/dev/spidev0.0", O_RDWR);
    ASSERT_GE(port, 0);
    std::vector<std::uint8_t> block(4097);
    EXPECT_EQ(::write(port, block.data(), block.size()), -1);
    EXPECT_EQ(errno, EMSGSIZE) << "longer than the driver's buffer";
    EXPECT_EQ(::read(port, block.data(), block.size()), -1);
    EXPECT_EQ(errno, EMSGSIZE);
    EXPECT_EQ(::write(port, block.data(), 4096), 4096);
    std::uint32_t speed = 0;
    EXPECT_EQ(::ioctl(port, 0x40046b04UL, &speed), -1);
    EXPECT_EQ(errno, EINVAL);
    ::close(port);

    const int dog = ::open("/dev/watchdog0", O_WRONLY);
    ASSERT_GE(dog, 0);
    struct timeout_case {
        int asked;
        int result;
        int after;
    };
    for (const timeout_case c : {timeout_case{0, -1, 0}, timeout_case{65536, -1, 65536},
                                 timeout_case{-1, -1, -1}, timeout_case{65535, 0, 65535}}) {
        int value = c.asked;
        EXPECT_EQ(::ioctl(dog, 0xC0045706UL, &value), c.result) << c.asked;
        EXPECT_EQ(value, c.after) << c.asked;
    }
    EXPECT_EQ(boardsim::watchdog().timeout, 65535) << "a refused timeout leaves the one in effect";
    ::close(dog);
}

// ---- fclk1 ----

TEST_F(board_files, the_clock_reads_back_what_was_written_or_what_the_scenario_says) {
    EXPECT_EQ(fclk_get_rate(), 100000000);
    fclk_export();
    EXPECT_EQ(fclk_set_rate(400000), 6400000);
    EXPECT_EQ(boardsim::fclk_rate_written(), "6400000");
    EXPECT_EQ(boardsim::fclk_exports(), 1);

    load("fclk1 readback \"6399999\\n\"");
    EXPECT_EQ(fclk_set_rate(400000), 6399999);
    EXPECT_EQ(boardsim::fclk_rate_written(), "6400000");

    load("fclk1 present no");
    fclk_export();
    EXPECT_EQ(fclk_set_rate(400000), -1);
    EXPECT_EQ(fclk_get_rate(), -1);
    EXPECT_EQ(boardsim::fclk_exports(), 0);
    EXPECT_EQ(trace_from(),
              (lines{
                  "#1 open /sys/devices/soc0/amba/f8007000.devcfg/fclk_export O_WRONLY = -1 ENOENT",
                  "#2 open /sys/devices/soc0/amba/f8007000.devcfg/fclk/fclk1/set_rate O_WRONLY = -1 "
                  "ENOENT",
                  "#3 open /sys/devices/soc0/amba/f8007000.devcfg/fclk/fclk1/set_rate O_RDONLY = -1 "
                  "ENOENT",
              }));
}

// ---- SPI ports ----

TEST_F(board_files, a_port_takes_its_settings_and_reads_back_what_the_driver_holds) {
    load("spi 4 mode-readback 3\nspi 4 bits-readback 9\nspi 4 speed-readback 1000000");
    spi_config config = chain_spi_config(4);
    spi_ctx *spi = spi_init(&config);
    ASSERT_NE(spi, nullptr);
    EXPECT_EQ(config.mode, 3);
    EXPECT_EQ(config.bits, 9);
    EXPECT_EQ(config.speed, 1000000u);
    const boardsim::spi_port_state state = boardsim::spi_port(4);
    EXPECT_EQ(state.mode, 1);
    EXPECT_EQ(state.bits, 8);
    EXPECT_EQ(state.speed, 1500000u);
    EXPECT_EQ(boardsim::open_files(), (lines{"/dev/spidev4.0"}));
    spi_exit(spi);
    EXPECT_EQ(trace_from(),
              (lines{
                  "#1 open /dev/spidev4.0 O_RDWR = fd",
                  "#2 ioctl /dev/spidev4.0 SPI_IOC_WR_MODE 0x40016b01 1 -> 1 = 0",
                  "#3 ioctl /dev/spidev4.0 SPI_IOC_RD_MODE 0x80016b01 1 -> 3 = 0",
                  "#4 ioctl /dev/spidev4.0 SPI_IOC_WR_BITS_PER_WORD 0x40016b03 8 -> 8 = 0",
                  "#5 ioctl /dev/spidev4.0 SPI_IOC_RD_BITS_PER_WORD 0x80016b03 8 -> 9 = 0",
                  "#6 ioctl /dev/spidev4.0 SPI_IOC_WR_MAX_SPEED_HZ 0x40046b04 1500000 -> 1500000 = 0",
                  "#7 ioctl /dev/spidev4.0 SPI_IOC_RD_MAX_SPEED_HZ 0x80046b04 1500000 -> 1000000 = 0",
                  "#8 close /dev/spidev4.0 = 0",
              }));
    EXPECT_TRUE(boardsim::open_files().empty());
}

TEST_F(board_files, a_failing_request_stops_the_port_set_up) {
    load("spi 0 fail-request rd_bits");
    spi_config config = chain_spi_config(0);
    config.bits = 7;
    EXPECT_EQ(spi_init(&config), nullptr);
    EXPECT_EQ(trace_from("RD_BITS"),
              (lines{"#5 ioctl /dev/spidev0.0 SPI_IOC_RD_BITS_PER_WORD 0x80016b03 7 -> 7 = -1 EINVAL",
                     "#6 close /dev/spidev0.0 = 0"}));
}

TEST_F(board_files, missing_ports_and_other_nodes_fail_to_open) {
    load("spi * present no\nspi 6 present yes");
    for (int bus = 0; bus < 8; ++bus) {
        spi_config config = chain_spi_config(bus);
        spi_ctx *spi = spi_init(&config);
        EXPECT_EQ(spi != nullptr, bus == 6) << bus;
        spi_exit(spi);
    }
    for (const char *path : {"/dev/spidev6.1", "/dev/spidev8.0", "/dev/spidevX"}) {
        EXPECT_EQ(::open(path, O_RDWR), -1) << path;
        EXPECT_EQ(errno, ENOENT) << path;
    }
    const int fd = ::open("/dev/spidev6.0", O_RDWR);
    ASSERT_GE(fd, 0);
    int value = 0;
    EXPECT_EQ(::ioctl(fd, 0x40206b00UL, &value), -1) << "no full-duplex messages on this board";
    EXPECT_EQ(errno, ENOTTY);
    ::close(fd);
}

// ---- vidgen ----

TEST_F(board_files, the_voltage_request_records_its_argument_by_value) {
    vid_set_value(5);
    vid_set_value(0x100);
    EXPECT_EQ(boardsim::vidgen_args(), (std::vector<long>{0x105, 0x100}));
    EXPECT_EQ(trace_from("ioctl"), (lines{"#2 ioctl /dev/vidgen0.0 VIDGEN_SET 0x80046400 0x105 = 0",
                                          "#3 close /dev/vidgen0.0 = 0", "#4 open /dev/vidgen0.0 O_RDWR = fd",
                                          "#5 ioctl /dev/vidgen0.0 VIDGEN_SET 0x80046400 0x100 = 0",
                                          "#6 close /dev/vidgen0.0 = 0"}));

    load("vidgen fail yes");
    testing::internal::CaptureStderr();
    vid_set_value(1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "set vid value fail.\n");
    EXPECT_EQ(boardsim::vidgen_args(), (std::vector<long>{0x101}));

    load("vidgen present no");
    testing::internal::CaptureStderr();
    vid_set_value(1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "open /dev/vidgen0.0 fail.\n");
    EXPECT_TRUE(boardsim::vidgen_args().empty());
}

// ---- watchdog ----

constexpr unsigned long wdioc_settimeout = 0xC0045706;
constexpr unsigned long wdioc_keepalive = 0x80045705;

TEST_F(board_files, the_watchdog_takes_a_timeout_counts_keepalives_and_records_writes) {
    load("watchdog timeout-readback 60");
    const int fd = ::open("/dev/watchdog0", O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::open("/dev/watchdog0", O_WRONLY), -1) << "one opener at a time";
    EXPECT_EQ(errno, EBUSY);
    int timeout = 30;
    EXPECT_EQ(::ioctl(fd, wdioc_settimeout, &timeout), 0);
    EXPECT_EQ(timeout, 60);
    for (int arg : {0, 0, 7}) {
        int value = arg;
        EXPECT_EQ(::ioctl(fd, wdioc_keepalive, &value), 0);
    }
    EXPECT_EQ(::write(fd, "V", 1), 1);
    ::close(fd);

    const boardsim::watchdog_state w = boardsim::watchdog();
    EXPECT_EQ(w.opens, 1);
    EXPECT_EQ(w.keepalives, 3);
    EXPECT_EQ(w.keepalive_args, (std::vector<int>{0, 0, 7}));
    EXPECT_EQ(w.timeouts_requested, (std::vector<int>{30}));
    EXPECT_EQ(w.timeout, 60);
    EXPECT_EQ(w.writes, (std::vector<bytes>{{'V'}}));
    EXPECT_EQ(trace_from("SETTIMEOUT"),
              (lines{
                  "#3 ioctl /dev/watchdog0 WDIOC_SETTIMEOUT 0xc0045706 30 -> 60 = 0",
                  "#4 ioctl /dev/watchdog0 WDIOC_KEEPALIVE 0x80045705 0 -> 0 = 0",
                  "#5 ioctl /dev/watchdog0 WDIOC_KEEPALIVE 0x80045705 0 -> 0 = 0",
                  "#6 ioctl /dev/watchdog0 WDIOC_KEEPALIVE 0x80045705 7 -> 7 = 0",
                  "#7 write /dev/watchdog0 [56] (1) = 1",
                  "#8 close /dev/watchdog0 = 0",
              }));
    EXPECT_GE(::open("/dev/watchdog0", O_WRONLY), 0) << "free again after the close";
}

TEST_F(board_files, a_busy_or_missing_watchdog_cannot_be_opened) {
    load("watchdog busy yes");
    EXPECT_EQ(::open("/dev/watchdog0", O_WRONLY), -1);
    EXPECT_EQ(errno, EBUSY);
    load("watchdog present no");
    EXPECT_EQ(::open("/dev/watchdog0", O_WRONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(::open("/dev/watchdog", O_WRONLY), -1) << "the machine's own watchdog is never reached";
    EXPECT_EQ(boardsim::watchdog().opens, 0);
}

TEST_F(board_files, the_operator_stops_the_ticker_at_the_chosen_keepalive) {
    EXPECT_EXIT(
        {
            boardsim::load_scenario("watchdog stop-after 3");
            const int fd = ::open("/dev/watchdog0", O_WRONLY);
            for (int i = 0; i < 10; ++i) {
                int zero = 0;
                ::ioctl(fd, wdioc_keepalive, &zero);
                if (i == 2) std::fputs("survived the third\n", stderr);
            }
            std::_Exit(0);
        },
        testing::KilledBySignal(SIGTERM), "^$");
}

// ---- clock and pass-through ----

TEST_F(board_files, waits_advance_the_virtual_clock_at_once) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(::sleep(13), 0u);
    EXPECT_EQ(::usleep(250000), 0);
    timespec request{1, 500000000};
    timespec remaining{9, 9};
    EXPECT_EQ(::nanosleep(&request, &remaining), 0);
    EXPECT_EQ(remaining.tv_sec, 0);
    timespec deadline{};
    ::clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += 100;
    EXPECT_EQ(::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_GE(boardsim::clock_us(), 114700000u);
    EXPECT_LE(boardsim::clock_us(), 114760000u);

    const lines timed = boardsim::trace({.time = true});
    ASSERT_GE(timed.size(), 3u);
    EXPECT_EQ(timed[0], "[    0.000000] wait 13 s");
    EXPECT_EQ(timed[1], "[   13.000000] wait 0.250000 s");
    EXPECT_EQ(timed[2], "[   13.250000] wait 1.500000 s");
}

TEST_F(board_files, files_that_are_not_the_boards_pass_through) {
    const std::string path = testing::TempDir() + "boardsim_pass_through.txt";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::write(fd, "plain", 5), 5);
    EXPECT_EQ(::close(fd), 0);
    std::ifstream in{path};
    std::string text;
    in >> text;
    EXPECT_EQ(text, "plain");
    ::unlink(path.c_str());
    EXPECT_TRUE(boardsim::trace().empty());
    EXPECT_EQ(boardsim::op_count(), 0u);
}

TEST_F(board_files, board_descriptors_are_real_and_unique_and_the_end_line_names_what_is_open) {
    const int port = ::open("/dev/spidev1.0", O_RDWR);
    const int dog = ::open("/dev/watchdog0", O_WRONLY);
    const int other = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(port, 0);
    ASSERT_GE(dog, 0);
    ASSERT_GE(other, 0);
    EXPECT_NE(port, dog);
    EXPECT_NE(port, other);
    EXPECT_NE(dog, other);
    EXPECT_EQ(boardsim::finish(), "end: still open: /dev/spidev1.0, /dev/watchdog0; 2 board operations");
    ::close(other);
    ::close(port);
    EXPECT_EQ(boardsim::finish(), "end: still open: /dev/watchdog0; 3 board operations");
    boardsim::deactivate();
    EXPECT_EQ(::close(dog), -1) << "dropped with the board";
    EXPECT_EQ(errno, EBADF);
}

TEST_F(board_files, trace_lines_carry_time_and_descriptor_numbers_on_request) {
    ::sleep(2);
    const int fd = ::open("/dev/spidev0.0", O_RDWR);
    ::close(fd);
    const std::string n = std::to_string(fd);
    EXPECT_EQ(boardsim::trace({.time = true, .fd_numbers = true}),
              (lines{"[    0.000000] wait 2 s", "[    2.000000] #1 open /dev/spidev0.0 O_RDWR = fd " + n,
                     "[    2.000000] #2 close /dev/spidev0.0 = 0"}));
    EXPECT_EQ(boardsim::trace(),
              (lines{"wait 2 s", "#1 open /dev/spidev0.0 O_RDWR = fd " + n, "#2 close /dev/spidev0.0 = 0"}));
    boardsim::clear_trace();
    EXPECT_TRUE(boardsim::trace().empty());
    EXPECT_EQ(boardsim::op_count(), 2u);
}

} // namespace
