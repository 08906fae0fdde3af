// The probe program end to end on the simulated board: what it prints, and what it does to each chain.
#include "run.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using lines = std::vector<std::string>;

class probe : public ::testing::Test {
  protected:
    // Runs the probe on a board described by scenario text; extra arguments go to the probe.
    testsupport::run_result run(const std::string &scenario, const lines &args = {}) {
        lines argv{testsupport::bin_path("test_type_spi")};
        argv.insert(argv.end(), args.begin(), args.end());
        last_ = testsupport::run_on_board(argv, scenario);
        return last_.result;
    }
    // The trace of the last run.
    const lines &trace() const { return last_.trace; }

    // Trace lines that mention text, without their time and number.
    lines ops_on(const std::string &text) const {
        lines found;
        for (const std::string &l : trace()) {
            if (l.find(text) == std::string::npos) continue;
            std::string op = l.substr(l.find("] ") + 2);
            if (op.starts_with('#')) op.erase(0, op.find(' ') + 1);
            found.push_back(op);
        }
        return found;
    }
    // The virtual time, in whole seconds, of the first trace line that mentions text.
    int time_of(const std::string &text) const {
        for (const std::string &l : trace())
            if (l.find(text) != std::string::npos) return std::stoi(l.substr(1));
        return -1;
    }

    testsupport::board_run last_;
};

TEST_F(probe, every_type_code_is_named_from_the_table) {
    const char *names[16] = {"K5",  "TYPE_ERR", "TYPE_ERR", "K8",       "TYPE_ERR", "TYPE_ERR",
                             "K6",  "M47",      "TYPE_ERR", "TYPE_ERR", "TYPE_ERR", "K7",
                             "M48", "TYPE_ERR", "TYPE_ERR", "TYPE_ERR"};
    for (int code = 0; code < 16; ++code) {
        SCOPED_TRACE(code);
        const auto r = run("chain 0 type " + std::to_string(code));
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, std::string{names[code]} + "\n");
    }
}

TEST_F(probe, only_the_first_answering_chain_decides_and_later_chains_stay_untouched) {
    const auto r = run("chain * inserted no\n"
                       "chain 2 inserted yes\nchain 2 type 1\n"
                       "chain 5 inserted yes\nchain 5 type 6\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "TYPE_ERR\n");
    EXPECT_EQ(r.err, "spi 0 not inserted.\nspi 1 not inserted.\nsend command [reset] \n");
    for (const char *later : {"spidev3", "spidev5", "spidev7", "gpio875", "gpio877", "gpio864", "gpio901",
                              "gpio903", "\"877\"", "\"901\""}) {
        EXPECT_EQ(ops_on(later), lines{}) << later;
    }
}

TEST_F(probe, reply_bytes_after_the_first_do_not_matter) {
    const auto r = run("chain 0 reply reset 0xB4 0xFF 0xFF 0xFF 0xFF 0xFF");
    EXPECT_EQ(r.out, "K7\n");
}

TEST_F(probe, a_silent_chain_costs_its_power_up_and_one_more_second) {
    const auto r = run("chain * inserted no\nchain 0 inserted yes\nchain 0 silent 0xFF\n"
                       "chain 3 inserted yes\nchain 3 type 12\n");
    EXPECT_EQ(r.out, "M48\n");
    EXPECT_EQ(r.err, "send command [reset] \nspi_poll_result fail.\n"
                     "spi 1 not inserted.\nspi 2 not inserted.\nsend command [reset] \n");
    EXPECT_EQ(time_of("write /dev/spidev0.0 [04 00]"), 13);
    EXPECT_EQ(time_of("open /dev/spidev1.0"), 14);
    EXPECT_EQ(time_of("write /dev/spidev3.0 [04 00]"), 27);
    EXPECT_EQ(ops_on("read /dev/spidev0.0").size(), 144u);
}

TEST_F(probe, an_unreadable_insertion_line_counts_as_inserted) {
    const auto r = run("chain * inserted no\ngpio 896 broken yes\nchain 0 inserted yes\n");
    EXPECT_EQ(r.out, "K6\n");
    EXPECT_EQ(ops_on("gpio896/value"), lines{"open /sys/class/gpio/gpio896/value O_RDONLY = -1 ENOENT"});
    EXPECT_EQ(time_of("write /dev/spidev0.0 [04 00]"), 13);
}

TEST_F(probe, a_port_that_cannot_be_configured_is_closed_and_its_lines_untouched) {
    const auto r = run("chain * inserted no\nspi 0 fail-request rd_bits\n");
    EXPECT_EQ(r.out, "TYPE_ERR\n");
    EXPECT_TRUE(r.err.starts_with("spi 0 init fail.\nspi 1 not inserted.\n")) << r.err;
    EXPECT_EQ(ops_on("gpio872"), lines{});
    EXPECT_EQ(ops_on("close /dev/spidev0.0"), lines{"close /dev/spidev0.0 = 0"});
    EXPECT_EQ(ops_on("/dev/spidev0.0").size(), 1u + 4u + 1u); // open, four requests, close
}

TEST_F(probe, arguments_change_nothing) {
    const auto plain = run("chain 0 type 3");
    const lines plain_trace = trace();
    const auto with_args = run("chain 0 type 3", {"-h", "--help", "7"});
    EXPECT_EQ(with_args.exit_code, 0);
    EXPECT_EQ(with_args.out, plain.out);
    EXPECT_EQ(with_args.err, plain.err);
    EXPECT_EQ(trace(), plain_trace);
}

TEST_F(probe, the_clock_is_set_eight_times_even_when_every_chain_fails) {
    const auto r = run("spi * present no\nfclk1 readback \"1\\n\"\n");
    EXPECT_EQ(r.out, "TYPE_ERR\n");
    EXPECT_EQ(ops_on("write /sys/devices/soc0/amba/f8007000.devcfg/fclk_export").size(), 8u);
    EXPECT_EQ(ops_on("write /sys/devices/soc0/amba/f8007000.devcfg/fclk/fclk1/set_rate \"6400000\"").size(),
              8u);
}

TEST_F(probe, missing_clock_files_do_not_stop_the_probe) {
    const auto r = run("fclk1 present no");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "K6\n");
    EXPECT_EQ(ops_on("f8007000.devcfg").size(), 16u); // eight failed opens of each file
}

} // namespace
