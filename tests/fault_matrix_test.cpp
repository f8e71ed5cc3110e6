// The fault matrix of docs/fault-matrix.md, row by row: one fault at one exchange of a store
// sequence, the built command against the simulator, and the outcome the table gives.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "tests/sim_run.h"

using namespace testing_support;
using pelorix::Fault;

namespace {

struct Row {
    std::string exchangeName;  // as in the table, "block N" expanded
    int exchange = 0;
    std::string fault;
    std::string outcome;
    int exitStatus = 0;
    std::string reached;
    std::string says;  // on standard error; empty: nothing there
};

std::string trim(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    const size_t last = text.find_last_not_of(' ');
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

std::vector<Row> readTable() {
    std::ifstream in(FAULT_MATRIX_PATH);
    std::vector<Row> rows;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("| ", 0) != 0 || line.rfind("| Exchange", 0) == 0) {
            continue;
        }
        std::vector<std::string> cells;
        std::stringstream split(line.substr(1));
        std::string cell;
        while (std::getline(split, cell, '|')) {
            cells.push_back(trim(cell));
        }
        if (cells.size() < 6) {
            continue;
        }
        Row row{cells[0], 0, cells[1], cells[2], std::stoi(cells[3]), cells[4], cells[5]};
        if (row.exchangeName == "block N") {
            for (int block = 0; block < 16; ++block) {
                Row expanded = row;
                expanded.exchangeName = "block " + std::to_string(block);
                expanded.exchange = pelorix::EXCHANGE_FIRST_BLOCK + block;
                const size_t at = expanded.says.find("block N of 16");
                if (at != std::string::npos) {
                    expanded.says.replace(at, 13, "block " + std::to_string(block + 1) + " of 16");
                }
                rows.push_back(expanded);
            }
            continue;
        }
        const std::map<std::string, int> exchanges{{"probe", pelorix::EXCHANGE_PROBE},
                                                   {"identity", pelorix::EXCHANGE_IDENTITY},
                                                   {"finish", pelorix::EXCHANGE_FINISH}};
        row.exchange = exchanges.at(row.exchangeName);
        rows.push_back(row);
    }
    return rows;
}

pelorix::FaultRule ruleFor(const Row& row) {
    const std::map<std::string, pelorix::FaultRule> faults{
        {"silence", {0, Fault::Silence, 0}},
        {"error", {0, Fault::Error, 4}},
        {"badsum", {0, Fault::BadChecksumFirst, 0}},
        {"unrelated", {0, Fault::UnrelatedFirst, 0}},
        {"others", {0, Fault::UnrelatedOnly, 0}},
        {"swallow", {0, Fault::SwallowingNoise, 0}},
        {"split", {0, Fault::Split, 0}},
        {"delay 400", {0, Fault::Delay, 400}},
        {"delay 600", {0, Fault::Delay, 600}},
        {"hangup", {0, Fault::HangUp, 0}},
    };
    pelorix::FaultRule rule = faults.at(row.fault);
    rule.exchange = row.exchange;
    return rule;
}

// The frames of a successful sequence, up to and including the request of `exchange`.
Bytes wireUpTo(const Bytes& settings, int exchange) {
    const Bytes all = wireOfSuccess(settings);
    size_t length = 5;  // probe
    if (exchange >= pelorix::EXCHANGE_IDENTITY) {
        length += 5;
    }
    if (exchange >= pelorix::EXCHANGE_FIRST_BLOCK) {
        length += 74u * static_cast<size_t>(exchange - pelorix::EXCHANGE_FIRST_BLOCK + 1);
    }
    return Bytes(all.begin(), all.begin() + static_cast<long>(length));
}

class FaultMatrix : public ::testing::TestWithParam<int> {};

}  // namespace

TEST(FaultMatrixTable, CoversEveryExchangeAndFaultOnce) {
    std::set<std::pair<int, std::string>> seen;
    for (const Row& row : readTable()) {
        EXPECT_TRUE(seen.insert({row.exchange, row.fault}).second)
            << row.exchangeName << " " << row.fault;
    }
    EXPECT_EQ(seen.size(), 19u * 10u);
}

TEST_P(FaultMatrix, OutcomesAtThisExchange) {
    TempDir dir;
    const Bytes settings = sampleSettings();
    const std::string file = dir.file("device.qorv");
    writeFile(file, frameOf(0x91, settings));
    const std::map<std::string, Ending> endings{{"stored", Ending::Stored},
                                                {"not stored", Ending::NotStored},
                                                {"no device", Ending::NoDevice},
                                                {"wrong device", Ending::WrongDevice}};
    int rows = 0;
    for (const Row& row : readTable()) {
        if (row.exchange != GetParam()) {
            continue;
        }
        ++rows;
        SCOPED_TRACE(row.exchangeName + " / " + row.fault);
        pelorix::SimOptions options;
        options.faults.push_back(ruleFor(row));
        const ToolRun run = runAgainstSim(options, file);
        EXPECT_EQ(run.result.out, outputOf(endings.at(row.outcome), file, run.port));
        EXPECT_EQ(run.result.status, row.exitStatus);
        if (row.reached == "all") {
            EXPECT_EQ(hex(run.wire), hex(wireOfSuccess(settings)));
        } else {
            EXPECT_EQ(row.reached, "to here");
            EXPECT_EQ(hex(run.wire), hex(wireUpTo(settings, row.exchange)));
        }
        if (row.exitStatus == 0) {
            EXPECT_EQ(run.stored, settings);
        }
        if (row.says.empty()) {
            EXPECT_EQ(run.result.err, "");
        } else {
            EXPECT_NE(run.result.err.find(row.says), std::string::npos) << run.result.err;
        }
        EXPECT_LT(run.result.seconds, 5.0);
    }
    EXPECT_EQ(rows, 10);
}

INSTANTIATE_TEST_SUITE_P(Exchanges, FaultMatrix,
                         ::testing::Range(pelorix::EXCHANGE_PROBE, pelorix::EXCHANGE_FINISH + 1),
                         [](const ::testing::TestParamInfo<int>& info) {
                             const int exchange = info.param;
                             if (exchange == pelorix::EXCHANGE_PROBE) {
                                 return std::string("probe");
                             }
                             if (exchange == pelorix::EXCHANGE_IDENTITY) {
                                 return std::string("identity");
                             }
                             if (exchange == pelorix::EXCHANGE_FINISH) {
                                 return std::string("finish");
                             }
                             return "block" +
                                    std::to_string(exchange - pelorix::EXCHANGE_FIRST_BLOCK);
                         });
