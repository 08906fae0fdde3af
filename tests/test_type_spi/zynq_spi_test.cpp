// SPI port operations against the simulated board: configuration order, read-backs, one transfer per call.
#include "board_ops.h"
#include "zynq_spi.h"

#include <gmock/gmock.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

using zynq_spi = board_test;

TEST_F(zynq_spi, init_configures_in_order_and_keeps_what_the_driver_took) {
    load("spi 3 mode-readback 3\nspi 3 bits-readback 16\nspi 3 speed-readback 1000000");
    spi_config config = chain_spi_config(3);
    spi_ctx *ctx = spi_init(&config);
    ASSERT_NE(ctx, nullptr);
    EXPECT_THAT(
        board_ops(),
        ElementsAre("open /dev/spidev3.0 O_RDWR = fd",                                      //
                    "ioctl /dev/spidev3.0 SPI_IOC_WR_MODE 0x40016b01 1 -> 1 = 0",           //
                    "ioctl /dev/spidev3.0 SPI_IOC_RD_MODE 0x80016b01 1 -> 3 = 0",           //
                    "ioctl /dev/spidev3.0 SPI_IOC_WR_BITS_PER_WORD 0x40016b03 8 -> 8 = 0",  //
                    "ioctl /dev/spidev3.0 SPI_IOC_RD_BITS_PER_WORD 0x80016b03 8 -> 16 = 0", //
                    "ioctl /dev/spidev3.0 SPI_IOC_WR_MAX_SPEED_HZ 0x40046b04 1500000 -> 1500000 = 0",
                    "ioctl /dev/spidev3.0 SPI_IOC_RD_MAX_SPEED_HZ 0x80046b04 1500000 -> 1000000 = 0"));
    EXPECT_EQ(config.mode, 3);
    EXPECT_EQ(config.bits, 16);
    EXPECT_EQ(config.speed, 1000000u);
    EXPECT_EQ(ctx->config.mode, 3);
    EXPECT_EQ(ctx->config.bits, 16);
    EXPECT_EQ(ctx->config.speed, 1000000u);
    EXPECT_EQ(ctx->config.bus, 3);
    EXPECT_THAT(boardsim::open_files(), ElementsAre("/dev/spidev3.0"));

    spi_exit(ctx);
    EXPECT_THAT(boardsim::open_files(), IsEmpty());
}

TEST_F(zynq_spi, init_without_a_config_or_a_device_node_gives_none_silently) {
    EXPECT_EQ(spi_init(nullptr), nullptr);
    load("spi 5 present no");
    spi_config config = chain_spi_config(5);
    ::testing::internal::CaptureStderr();
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(spi_init(&config), nullptr);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_THAT(board_ops(), ElementsAre("open /dev/spidev5.0 O_RDWR = -1 ENOENT"));
}

TEST_F(zynq_spi, a_failed_request_closes_the_port_and_stops_the_configuration) {
    struct {
        const char *request;
        std::size_t requests_issued;
    } cases[] = {{"wr_mode", 1}, {"rd_mode", 2},  {"wr_bits", 3},
                 {"rd_bits", 4}, {"wr_speed", 5}, {"rd_speed", 6}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.request);
        reset_board();
        load(std::string{"spi 1 fail-request "} + c.request);
        spi_config config = chain_spi_config(1);
        EXPECT_EQ(spi_init(&config), nullptr);
        const auto lines = board_ops();
        ASSERT_EQ(lines.size(), 1 + c.requests_issued + 1);
        EXPECT_EQ(lines.back(), "close /dev/spidev1.0 = 0");
        EXPECT_THAT(boardsim::open_files(), IsEmpty());
    }
}

TEST_F(zynq_spi, exit_closes_the_port_and_ignores_none) {
    spi_exit(nullptr);
    EXPECT_THAT(board_ops(), IsEmpty());
}

class zynq_spi_open : public zynq_spi {
  protected:
    void SetUp() override {
        zynq_spi::SetUp();
        ctx = spi_init(&config);
        ASSERT_NE(ctx, nullptr);
        boardsim::clear_trace();
    }
    void TearDown() override {
        spi_exit(ctx);
        zynq_spi::TearDown();
    }
    spi_config config = chain_spi_config(0);
    spi_ctx *ctx = nullptr;
};

TEST_F(zynq_spi_open, write_and_read_are_one_transfer_each) {
    const std::uint8_t frame[] = {0x04, 0x00, 0x00, 0x00};
    std::uint8_t reply[6] = {};
    EXPECT_EQ(spi_write_data(ctx, frame, 4), 1);
    EXPECT_EQ(spi_read_data(ctx, reply, 6), 1);
    EXPECT_THAT(board_ops(), ElementsAre("write /dev/spidev0.0 [04 00 00 00] (4) = 4",
                                         "read /dev/spidev0.0 ask 6 = 6 [64 00 00 00 00 00]"));
    EXPECT_THAT(reply, ElementsAre(0x64, 0, 0, 0, 0, 0));
}

TEST_F(zynq_spi_open, nothing_reaches_the_port_without_data_or_length) {
    const std::uint8_t data[2] = {1, 2};
    std::uint8_t buf[2] = {};
    EXPECT_EQ(spi_write_data(ctx, data, 0), 0);
    EXPECT_EQ(spi_write_data(ctx, data, -2), 0);
    EXPECT_EQ(spi_write_data(ctx, nullptr, 2), 0);
    EXPECT_EQ(spi_read_data(ctx, buf, 0), 0);
    EXPECT_EQ(spi_read_data(ctx, nullptr, 2), 0);
    EXPECT_EQ(spi_transfer(ctx, data, buf, 0), 0);
    EXPECT_THAT(board_ops(), IsEmpty());
}

TEST_F(zynq_spi, failed_transfers_report_zero) {
    load("chain 0 fail-reads all\nchain 0 fail-writes all");
    spi_config config = chain_spi_config(0);
    spi_ctx *ctx = spi_init(&config);
    ASSERT_NE(ctx, nullptr);
    const std::uint8_t data[2] = {1, 2};
    std::uint8_t buf[2] = {};
    EXPECT_EQ(spi_write_data(ctx, data, 2), 0);
    EXPECT_EQ(spi_read_data(ctx, buf, 2), 0);
    spi_exit(ctx);
}

TEST_F(zynq_spi_open, transfer_writes_then_reads_the_same_length) {
    const std::uint8_t frame[] = {0x04, 0x00, 0x00, 0x00};
    std::uint8_t reply[4] = {};
    EXPECT_EQ(spi_transfer(ctx, frame, reply, 4), 1);
    EXPECT_THAT(board_ops(), ElementsAre("write /dev/spidev0.0 [04 00 00 00] (4) = 4",
                                         "read /dev/spidev0.0 ask 4 = 4 [64 00 00 00]"));

    boardsim::clear_trace();
    boardsim::fail_op(1);
    EXPECT_EQ(spi_transfer(ctx, frame, reply, 4), 0);
    EXPECT_EQ(board_ops().size(), 1u); // the failed write, no read
}

} // namespace
