// Fault injection: any single board operation can be made to fail, and a clean run's count lets a test
// walk every one of them.
#include "board_fixture.h"
#include "board_io.h"
#include "chain_cmd.h"
#include "zynq_spi.h"

namespace {

// A run through every kind of board file, the way the probe and the board I/O layer touch them.
void bring_up_chain_0() {
    fclk_export();
    fclk_set_rate(400000);
    spi_config config{.bus = 0, .cs = 0, .mode = 1, .speed = 1500000, .bits = 8, .delay = 0};
    spi_ctx *spi = spi_init(&config);
    gpio_export(872, 0);
    gpio_export(896, 1);
    gpio_set_value(872, 1);
    gpio_get_value(896);
    if (spi != nullptr) {
        chain_ctx chain{0, spi};
        std::uint8_t reply[6] = {};
        vexa_cmd_reset(&chain, 0, reply, sizeof reply);
        spi_exit(spi);
    }
    vid_set_value(3);
}

std::vector<std::string> run_quietly() {
    testing::internal::CaptureStderr();
    bring_up_chain_0();
    testing::internal::GetCapturedStderr();
    return boardsim::trace();
}

// "#12 write /dev/spidev0.0 [04 00] (2) = 2" -> "#12 write /dev/spidev0.0"
std::string operation_of(const std::string &line) {
    const std::size_t verb_end = line.find(' ', line.find(' ') + 1);
    return line.substr(0, line.find(' ', verb_end + 1));
}

class faults : public board_test {};

TEST_F(faults, every_board_operation_of_a_clean_run_can_be_made_to_fail_alone) {
    const std::vector<std::string> clean = run_quietly();
    const std::uint64_t total = boardsim::op_count();
    ASSERT_EQ(total, 43u) << "clock 9, port 7, lines 18, reset 5, close 1, vidgen 3";
    std::vector<std::string> clean_ops;
    for (const std::string &line : clean)
        if (line.starts_with("#")) clean_ops.push_back(operation_of(line));
    ASSERT_EQ(clean_ops.size(), total);

    for (std::uint64_t k = 1; k <= total; ++k) {
        SCOPED_TRACE("operation " + std::to_string(k) + ": " + clean_ops[k - 1]);
        reset_board();
        boardsim::fail_op(k);
        const std::vector<std::string> lines = run_quietly();
        std::vector<std::string> injected;
        for (const std::string &line : lines)
            if (line.ends_with(" (injected)")) injected.push_back(line);
        ASSERT_EQ(injected.size(), 1u);
        EXPECT_EQ(operation_of(injected[0]), clean_ops[k - 1]) << "the same operation, now failing";
        const bool is_open = clean_ops[k - 1].find(" open ") != std::string::npos;
        EXPECT_TRUE(injected[0].ends_with(is_open ? "= -1 ENOENT (injected)" : "= -1 EIO (injected)"))
            << injected[0];
        EXPECT_LE(boardsim::op_count(), total);
        EXPECT_TRUE(boardsim::open_files().empty()) << "a failed close still releases the descriptor";
    }
}

TEST_F(faults, the_failing_operation_is_counted_from_now_and_can_be_turned_off) {
    const int first = ::open("/dev/spidev0.0", O_RDWR);
    boardsim::fail_op(2);
    const int second = ::open("/dev/spidev1.0", O_RDWR);
    const int third = ::open("/dev/spidev2.0", O_RDWR);
    EXPECT_GE(first, 0);
    EXPECT_GE(second, 0);
    EXPECT_EQ(third, -1);
    EXPECT_EQ(errno, ENOENT);

    boardsim::fail_op(1);
    boardsim::fail_op(0);
    EXPECT_EQ(::close(second), 0);

    boardsim::fail_op(1);
    EXPECT_EQ(::close(first), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_TRUE(boardsim::open_files().empty());
    EXPECT_EQ(trace_from("spidev2.0"),
              (std::vector<std::string>{"#3 open /dev/spidev2.0 O_RDWR = -1 ENOENT (injected)",
                                        "#4 close /dev/spidev1.0 = 0",
                                        "#5 close /dev/spidev0.0 = -1 EIO (injected)"}));
}

TEST_F(faults, a_scenario_names_the_failing_operation_too) {
    load("fail-op 3");
    const int fd = ::open("/dev/spidev0.0", O_RDWR);
    ASSERT_GE(fd, 0);
    std::uint8_t pair[2] = {0x04, 0x00};
    EXPECT_EQ(::write(fd, pair, 2), 2);
    EXPECT_EQ(::read(fd, pair, 2), -1);
    EXPECT_EQ(errno, EIO);
    EXPECT_EQ(::read(fd, pair, 2), 2);
    ::close(fd);
    EXPECT_EQ(trace_from("read"),
              (std::vector<std::string>{"#3 read /dev/spidev0.0 ask 2 = -1 EIO (injected)",
                                        "#4 read /dev/spidev0.0 ask 2 = 2 [00 00]",
                                        "#5 close /dev/spidev0.0 = 0"}));
}

} // namespace
