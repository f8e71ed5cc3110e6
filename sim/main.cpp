// pelorix-sim: a simulated device on a pseudo-terminal, for running and testing the tool without
// hardware. Prints the terminal's path, then answers requests until interrupted.
#include <getopt.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "qorv_version.h"
#include "sim/simulator.h"

namespace {

std::atomic<bool> stopRequested{false};

void onSignal(int) {
    stopRequested = true;
}

const char HELP[] =
    "Usage: pelorix-sim [options]\n"
    "       pelorix-sim --make-settings OUT [--from RAW]\n"
    "\n"
    "Opens a pseudo-terminal, prints its path and answers as a device on it.\n"
    "\n"
    "  --link PATH              also make PATH a symbolic link to the terminal\n"
    "  --store FILE             write the 1056 stored bytes to FILE when a sequence ends\n"
    "  --once                   stop when one sequence ends\n"
    "  --identity HEX           identity bytes to report (default 00300360)\n"
    "  --refuse-block N[:CODE]  refuse block N (1-16) with error CODE (default 4)\n"
    "  --no-finish-ack          do not acknowledge the end of the sequence\n"
    "  --silent                 never answer\n"
    "  --noise                  send noise before each answer\n"
    "  --split                  send answers one byte at a time\n"
    "  --delay MS               wait MS milliseconds before each answer\n"
    "  --hang-up-at-block N     hang up the line when block N (1-16) arrives\n"
    "  --baud RATE              take as long as the bytes would on a wire at RATE, 8N2\n"
    "  --fault EXCHANGE:KIND[:VALUE]\n"
    "                           one fault at one exchange: EXCHANGE is probe, identity,\n"
    "                           block1 .. block16 or finish; KIND is silence, error, badsum,\n"
    "                           unrelated, others (unrelated frames, no answer), swallow,\n"
    "                           split, delay, hangup, noise, twice (the\n"
    "                           answer doubled), late (the answer again VALUE ms\n"
    "                           later), stalerefusal (the previous answer and a\n"
    "                           refusal with code VALUE, in one write), babble\n"
    "                           (preambles for VALUE ms), flood (the answer, VALUE\n"
    "                           bytes of noise and the answer again, in one write) or\n"
    "                           floodrefusal (the same with a refusal last)\n"
    "  --make-settings OUT      write a settings file holding made-up data (or RAW's bytes)\n"
    "  --from RAW               raw settings data for --make-settings\n"
    "  --help                   show this text\n"
    "  --version                show the version\n";

bool parseInt(const char* text, int* value) {
    char* end = nullptr;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || parsed < -1000000 || parsed > 100000000) {
        return false;
    }
    *value = static_cast<int>(parsed);
    return true;
}

bool parseExchange(const std::string& name, int* exchange) {
    if (name == "probe") {
        *exchange = pelorix::EXCHANGE_PROBE;
    } else if (name == "identity") {
        *exchange = pelorix::EXCHANGE_IDENTITY;
    } else if (name == "finish") {
        *exchange = pelorix::EXCHANGE_FINISH;
    } else if (name.rfind("block", 0) == 0) {
        int block = -1;
        // Blocks are counted from 1, as the tool's messages count them.
        if (!parseInt(name.c_str() + 5, &block) || block < 1 || block > 16) {
            return false;
        }
        *exchange = pelorix::EXCHANGE_FIRST_BLOCK + block - 1;
    } else {
        return false;
    }
    return true;
}

bool parseFault(const std::string& argument, pelorix::FaultRule* rule) {
    static const struct {
        const char* name;
        pelorix::Fault fault;
    } kinds[] = {
        {"silence", pelorix::Fault::Silence},
        {"error", pelorix::Fault::Error},
        {"badsum", pelorix::Fault::BadChecksumFirst},
        {"unrelated", pelorix::Fault::UnrelatedFirst},
        {"others", pelorix::Fault::UnrelatedOnly},
        {"swallow", pelorix::Fault::SwallowingNoise},
        {"split", pelorix::Fault::Split},
        {"delay", pelorix::Fault::Delay},
        {"hangup", pelorix::Fault::HangUp},
        {"noise", pelorix::Fault::Noise},
        {"twice", pelorix::Fault::Duplicate},
        {"babble", pelorix::Fault::Babble},
        {"late", pelorix::Fault::LateDuplicate},
        {"stalerefusal", pelorix::Fault::StaleThenError},
        {"flood", pelorix::Fault::Flood},
        {"floodrefusal", pelorix::Fault::FloodThenError},
    };
    const size_t first = argument.find(':');
    if (first == std::string::npos || !parseExchange(argument.substr(0, first), &rule->exchange)) {
        return false;
    }
    const size_t second = argument.find(':', first + 1);
    const std::string kind = argument.substr(
        first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
    rule->value = 0;
    if (second != std::string::npos && !parseInt(argument.c_str() + second + 1, &rule->value)) {
        return false;
    }
    for (const auto& entry : kinds) {
        if (kind == entry.name) {
            rule->fault = entry.fault;
            if (second == std::string::npos && (entry.fault == pelorix::Fault::Error ||
                                                entry.fault == pelorix::Fault::StaleThenError)) {
                rule->value = 4;
            }
            return true;
        }
    }
    return false;
}

bool parseHex(const char* text, std::vector<uint8_t>* bytes) {
    const size_t length = std::strlen(text);
    if (length % 2 != 0) {
        return false;
    }
    bytes->clear();
    for (size_t i = 0; i < length; i += 2) {
        char pair[3] = {text[i], text[i + 1], '\0'};
        char* end = nullptr;
        const long value = std::strtol(pair, &end, 16);
        if (*end != '\0') {
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(value));
    }
    return true;
}

// Made-up settings data: a fixed pseudo-random sequence, so the example is the same every time.
std::vector<uint8_t> madeUpSettings() {
    std::vector<uint8_t> data(1056);
    uint32_t state = 0x51A7E5u;
    for (uint8_t& byte : data) {
        state = state * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(state >> 16);
    }
    return data;
}

int makeSettings(const char* out, const char* raw) {
    std::vector<uint8_t> data = madeUpSettings();
    if (raw != nullptr) {
        std::ifstream in(raw, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "pelorix-sim: cannot read %s\n", raw);
            return 1;
        }
        data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        if (data.size() > 2048) {
            std::fprintf(stderr, "pelorix-sim: %s holds %zu bytes; a frame carries at most 2048\n",
                         raw, data.size());
            return 1;
        }
    }
    const std::vector<uint8_t> file = pelorix::settingsFileFrom(data);
    std::ofstream os(out, std::ios::binary | std::ios::trunc);
    os.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    if (!os) {
        std::fprintf(stderr, "pelorix-sim: cannot write %s\n", out);
        return 1;
    }
    return 0;
}

int usageError(const char* what) {
    std::fprintf(stderr, "pelorix-sim: %s\nTry 'pelorix-sim --help'.\n", what);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    enum {
        OPT_LINK = 1,
        OPT_STORE,
        OPT_ONCE,
        OPT_IDENTITY,
        OPT_REFUSE,
        OPT_NO_FINISH,
        OPT_SILENT,
        OPT_NOISE,
        OPT_SPLIT,
        OPT_DELAY,
        OPT_HANG_UP,
        OPT_BAUD,
        OPT_FAULT,
        OPT_MAKE,
        OPT_FROM,
        OPT_HELP,
        OPT_VERSION,
    };
    static const option longOptions[] = {
        {"link", required_argument, nullptr, OPT_LINK},
        {"store", required_argument, nullptr, OPT_STORE},
        {"once", no_argument, nullptr, OPT_ONCE},
        {"identity", required_argument, nullptr, OPT_IDENTITY},
        {"refuse-block", required_argument, nullptr, OPT_REFUSE},
        {"no-finish-ack", no_argument, nullptr, OPT_NO_FINISH},
        {"silent", no_argument, nullptr, OPT_SILENT},
        {"noise", no_argument, nullptr, OPT_NOISE},
        {"split", no_argument, nullptr, OPT_SPLIT},
        {"delay", required_argument, nullptr, OPT_DELAY},
        {"hang-up-at-block", required_argument, nullptr, OPT_HANG_UP},
        {"baud", required_argument, nullptr, OPT_BAUD},
        {"fault", required_argument, nullptr, OPT_FAULT},
        {"make-settings", required_argument, nullptr, OPT_MAKE},
        {"from", required_argument, nullptr, OPT_FROM},
        {"help", no_argument, nullptr, OPT_HELP},
        {"version", no_argument, nullptr, OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };
    pelorix::SimOptions options;
    std::string link;
    const char* makeOut = nullptr;
    const char* raw = nullptr;
    int option;
    while ((option = getopt_long(argc, argv, "", longOptions, nullptr)) != -1) {
        int number = 0;
        pelorix::FaultRule rule;
        switch (option) {
            case OPT_LINK:
                link = optarg;
                break;
            case OPT_STORE:
                options.storePath = optarg;
                break;
            case OPT_ONCE:
                options.once = true;
                break;
            case OPT_IDENTITY:
                if (!parseHex(optarg, &options.identity)) {
                    return usageError("--identity wants hexadecimal bytes, e.g. 00300360");
                }
                break;
            case OPT_REFUSE: {
                const std::string argument = std::string("block") + optarg;
                const size_t colon = argument.find(':');
                const std::string fault =
                    colon == std::string::npos
                        ? argument + ":error"
                        : argument.substr(0, colon) + ":error" + argument.substr(colon);
                if (!parseFault(fault, &rule)) {
                    return usageError("--refuse-block wants N[:CODE] with N from 1 to 16");
                }
                options.faults.push_back(rule);
                break;
            }
            case OPT_NO_FINISH:
            case OPT_SILENT:
            case OPT_NOISE:
            case OPT_SPLIT:
                // Shortcuts for one --fault.
                options.faults.push_back(
                    {option == OPT_NO_FINISH ? pelorix::EXCHANGE_FINISH : pelorix::EXCHANGE_ANY,
                     option == OPT_NOISE   ? pelorix::Fault::Noise
                     : option == OPT_SPLIT ? pelorix::Fault::Split
                                           : pelorix::Fault::Silence,
                     0});
                break;
            case OPT_DELAY:
                if (!parseInt(optarg, &number) || number < 0) {
                    return usageError("--delay wants milliseconds");
                }
                options.faults.push_back({pelorix::EXCHANGE_ANY, pelorix::Fault::Delay, number});
                break;
            case OPT_HANG_UP:
                if (!parseInt(optarg, &number) || number < 1 || number > 16) {
                    return usageError("--hang-up-at-block wants a block from 1 to 16");
                }
                options.hangUpAtBlock = number - 1;
                break;
            case OPT_BAUD:
                if (!parseInt(optarg, &options.paceBaud) || options.paceBaud <= 0) {
                    return usageError("--baud wants a positive rate");
                }
                break;
            case OPT_FAULT:
                if (!parseFault(optarg, &rule)) {
                    return usageError("--fault wants EXCHANGE:KIND[:VALUE]");
                }
                options.faults.push_back(rule);
                break;
            case OPT_MAKE:
                makeOut = optarg;
                break;
            case OPT_FROM:
                raw = optarg;
                break;
            case OPT_HELP:
                std::fputs(HELP, stdout);
                return 0;
            case OPT_VERSION:
                std::puts("pelorix-sim " QORV_VERSION);
                return 0;
            default:
                return usageError("unknown option");
        }
    }
    if (optind < argc) {
        return usageError("unexpected argument");
    }
    if (makeOut != nullptr) {
        return makeSettings(makeOut, raw);
    }

    pelorix::Simulator simulator(options);
    if (!simulator.open()) {
        std::perror("pelorix-sim: cannot open a pseudo-terminal");
        return 1;
    }
    if (!link.empty()) {
        unlink(link.c_str());
        if (symlink(simulator.slavePath().c_str(), link.c_str()) != 0) {
            std::perror(link.c_str());
            return 1;
        }
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::printf("%s\n", simulator.slavePath().c_str());
    std::fflush(stdout);
    simulator.run(stopRequested);
    if (options.once && !stopRequested) {
        // Closing the terminal at once would discard the last answer before the tool has read
        // it: stay up a moment.
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }
    if (!link.empty()) {
        unlink(link.c_str());
    }
    return 0;
}
