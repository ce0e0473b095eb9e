// ktev-bus-sim: the bus master and simulated control panels on a pseudo-terminal linked as
// <ports dir>/comN, for the workstation to open as its COM port.

#include "sim/bus_sim.h"

#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <string>
#include <string_view>

namespace {

constexpr const char* USAGE =
    "usage: ktev-bus-sim --com N [--ports-dir DIR] [--scenario FILE] [--devices N]\n"
    "                    [--rate R] [--rate-after S] [--rate-for S] [--seed S]\n"
    "                    [--pace realtime|fast] [--turn-ms MS] [--answer-delay MS] [--echo]\n"
    "                    [--turn-every K] [--chunk BYTES] [--journal FILE|-]\n"
    "Plays the bus master and the devices of the scenario and/or N generated devices (256\n"
    "loops, 128 relays each) with R random changes per second (from S seconds after the\n"
    "start, for S seconds). A device begins its answer to the workstation MS (0..10, default\n"
    "1) after the workstation's last byte; --echo hands the workstation's bytes back to it as\n"
    "an RS-485 adapter does. The journal of every change\n"
    "and of every frame the workstation sent goes to FILE ('-': standard output).\n"
    "Stops on SIGINT or SIGTERM and removes the link.\n";

struct TArgs {
    TSimOptions options;
    std::string scenario;
    int devices = 0;
    std::string journal;
};

template <typename T>
bool ParseNumber(std::string_view text, T& out) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc() && end == text.data() + text.size();
}

bool ParseArgs(int argc, char** argv, TArgs& args, std::string& error) {
    bool have_com = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (name == "--help" || name == "-h") {
            error.clear();
            return false;
        }
        if (name == "--echo") {
            args.options.echo = true;
            continue;
        }
        if (i + 1 >= argc) {
            error = std::string(name) + " needs a value";
            return false;
        }
        const std::string_view value = argv[++i];
        bool ok = true;
        if (name == "--com") {
            ok = ParseNumber(value, args.options.com) && args.options.com >= 1 &&
                 args.options.com <= 255;
            have_com = true;
        } else if (name == "--ports-dir") {
            args.options.ports_dir = value;
        } else if (name == "--scenario") {
            args.scenario = value;
        } else if (name == "--devices") {
            ok = ParseNumber(value, args.devices) && args.devices >= 0 && args.devices <= 254;
        } else if (name == "--rate") {
            ok = ParseNumber(value, args.options.rate) && args.options.rate >= 0 &&
                 args.options.rate <= 1e6;
        } else if (name == "--rate-after") {
            ok = ParseNumber(value, args.options.rate_after_s) && args.options.rate_after_s >= 0;
        } else if (name == "--rate-for") {
            ok = ParseNumber(value, args.options.rate_for_s) && args.options.rate_for_s >= 0;
        } else if (name == "--seed") {
            ok = ParseNumber(value, args.options.seed);
        } else if (name == "--pace") {
            ok = value == "realtime" || value == "fast";
            args.options.pace = value == "fast" ? TSimPace::Fast : TSimPace::Realtime;
        } else if (name == "--turn-ms") {
            ok = ParseNumber(value, args.options.turn_ms) && args.options.turn_ms >= 0 &&
                 args.options.turn_ms <= 60000;
        } else if (name == "--answer-delay") {
            ok = ParseNumber(value, args.options.answer_delay_ms);
        } else if (name == "--turn-every") {
            ok = ParseNumber(value, args.options.turn_every) && args.options.turn_every >= 0;
        } else if (name == "--chunk") {
            ok = ParseNumber(value, args.options.chunk);
        } else if (name == "--journal") {
            args.journal = value;
        } else {
            error = "unknown option " + std::string(name);
            return false;
        }
        if (!ok) {
            error = "bad value for " + std::string(name) + ": " + std::string(value);
            return false;
        }
    }
    if (!have_com) {
        error = "--com is required";
        return false;
    }
    return true;
}

// Writes the entries after `last` and returns the number of the last one written.
std::uint64_t WriteJournal(const TBusSim& sim, std::ostream& out, std::uint64_t last) {
    for (const TSimJournalEntry& entry : sim.Journal().Since(last)) {
        out << FormatEntry(entry) << '\n';
        last = entry.seq;
    }
    out.flush();
    return last;
}

} // namespace

int main(int argc, char** argv) {
    TArgs args;
    std::string error;
    if (!ParseArgs(argc, argv, args, error)) {
        if (error.empty()) {
            std::cout << USAGE;
            return 0;
        }
        std::cerr << "ktev-bus-sim: " << error << "\n" << USAGE;
        return 2;
    }
    TSimScenario scenario;
    if (!args.scenario.empty() && !LoadScenario(args.scenario, scenario, error)) {
        std::cerr << "ktev-bus-sim: " << error << "\n";
        return 2;
    }
    if (!AddGeneratedDevices(scenario, args.devices, error)) {
        std::cerr << "ktev-bus-sim: " << error << "\n";
        return 2;
    }
    std::ofstream file;
    std::ostream* journal = nullptr;
    if (args.journal == "-") {
        journal = &std::cout;
    } else if (!args.journal.empty()) {
        file.open(args.journal, std::ios::app);
        if (!file) {
            std::cerr << "ktev-bus-sim: cannot write " << args.journal << ": "
                      << std::strerror(errno) << "\n";
            return 1;
        }
        journal = &file;
    }

    // The signals are taken by sigtimedwait below; every thread inherits the block. An ignored
    // signal would never arrive, so the default disposition comes back first.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    TBusSim sim;
    if (!sim.Start(args.options, scenario, error)) {
        std::cerr << "ktev-bus-sim: " << error << "\n";
        return 1;
    }
    std::cerr << "ktev-bus-sim: " << sim.LinkPath() << " -> " << sim.SlavePath() << ", "
              << scenario.devices.size() << " devices, "
              << (args.options.pace == TSimPace::Fast ? "fast" : "9600 baud") << "\n";
    std::uint64_t written = 0;
    const timespec tick{0, 200 * 1000 * 1000};
    while (sigtimedwait(&signals, nullptr, &tick) < 0) {
        if (journal != nullptr) {
            written = WriteJournal(sim, *journal, written);
        }
    }
    sim.Stop();
    if (journal != nullptr) {
        WriteJournal(sim, *journal, written);
    }
    const TSimStats stats = sim.Stats();
    std::cerr << "ktev-bus-sim: stopped after " << stats.cycles << " poll cycles, " << stats.frames
              << " frames (" << stats.bytes << " bytes) sent, " << stats.received
              << " frames received\n";
    return 0;
}
