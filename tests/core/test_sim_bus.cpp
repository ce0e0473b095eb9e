#include "buslink/kordeya32.h"
#include "sim/bus_sim.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr int COM = 9;
constexpr std::uint32_t PC_ID = 0xA1B2C3D4;
constexpr int WAIT_MS = 5000;

std::uint32_t Le32(const Bytes& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// A decoded frame as the workstation's parser hands it over.
struct Heard {
    Bytes frame;
    bool answer() const { return frame[frame::OFS_ANSWER] != 0; }
    std::uint8_t dst_address() const { return frame[frame::OFS_DST_ADDRESS]; }
    std::uint32_t dst_id() const { return Le32(frame, frame::OFS_DST_ID); }
    std::uint8_t src_address() const { return frame[frame::OFS_SRC_ADDRESS]; }
    std::uint32_t src_id() const { return Le32(frame, frame::OFS_SRC_ID); }
    std::uint8_t command() const { return frame[frame::OFS_COMMAND]; }
    Bytes payload() const { return Bytes(frame.begin() + frame::OFS_PAYLOAD, frame.end() - 2); }
};

// The workstation's side of the wire: its own serial port and frame parser, read the way its
// bus cycle reads them.
class Workstation {
public:
    explicit Workstation(const std::string& ports_dir)
        : pc(ports_dir, PC_ID, TPosixSerialSys::Instance()) {
        pc.SetOptions(false, false, false);
    }

    bool Open() { return pc.Open(COM); }

    // The next frame heard; false when none comes within timeout_ms.
    bool Next(Heard& out, int timeout_ms = WAIT_MS) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        bool flush = false;
        while (true) {
            int consumed = 0;
            while (!buffer.empty()) {
                const bool got =
                    pc.Parse(buffer.data(), static_cast<int>(buffer.size()), consumed, flush);
                buffer.erase(buffer.begin(), buffer.begin() + consumed);
                if (got) {
                    out.frame.assign(pc.Frame(), pc.Frame() + pc.FrameLength());
                    return true;
                }
                if (consumed == 0) {
                    break;
                }
            }
            if (Clock::now() >= deadline) {
                return false;
            }
            std::uint8_t chunk[4096];
            int got = 0;
            flush = !pc.Read(chunk, sizeof chunk, 100, got);
            buffer.insert(buffer.end(), chunk, chunk + got);
            raw.insert(raw.end(), chunk, chunk + got);
        }
    }

    // The first frame that matches.
    bool Until(const std::function<bool(const Heard&)>& match, Heard& out,
               int timeout_ms = WAIT_MS) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
        while (Clock::now() < deadline) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (Next(out, static_cast<int>(left.count()) + 1) && match(out)) {
                return true;
            }
        }
        return false;
    }

    // Waits for a FIND_DEVICE with nothing queued after it: the turn is open now.
    bool WaitTurn() {
        Heard h;
        return Until(
            [this](const Heard& f) {
                return !f.answer() && f.command() == FIND_DEVICE && buffer.empty();
            },
            h);
    }

    // The next answer on the bus.
    bool NextAnswer(Heard& out) {
        return Until([](const Heard& f) { return f.answer(); }, out);
    }

    TKordeya32 pc;
    Bytes buffer;
    Bytes raw; // everything read
};

TSimDeviceConfig Panel(int key, std::uint8_t address, std::uint32_t id) {
    TSimDeviceConfig d;
    d.key = key;
    d.address = address;
    d.id = id;
    d.factory_name = "ППК-8";
    d.user_name = "Склад №" + std::to_string(key);
    d.lines = 8;
    d.sensors = 2;
    d.relays = 4;
    d.archives = 300;
    d.remote = 0x2FF;
    return d;
}

class SimOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        scenario.devices = {Panel(1, 5, 0x00C0DB01), Panel(2, 7, 0x00000702)};
        options.ports_dir = dir.path();
        options.com = COM;
        options.pace = TSimPace::Fast;
        // Long enough for the test to answer a turn even under a sanitizer.
        options.turn_ms = 300;
    }
    void TearDown() override { sim.Stop(); }

    void Start() {
        std::string error;
        ASSERT_TRUE(sim.Start(options, scenario, error)) << error;
        ASSERT_TRUE(ws.Open());
    }

    void Inject(TSimEvent event) {
        std::string error;
        ASSERT_TRUE(sim.Inject(event, error)) << error;
    }

    // Injects a state change and waits until the bus thread has made it: it runs at the
    // simulator's next step, and a request answered before then sees the old state.
    void InjectChange(TSimEvent event) {
        const std::uint64_t before = sim.Journal().LastSeq();
        Inject(event);
        ASSERT_TRUE(sim.Journal().WaitFor(
            [](const TSimJournalEntry& e) { return e.kind == TSimEntryKind::Change; }, WAIT_MS,
            nullptr, before));
    }

    // The next answer of a device to the command.
    Heard AnswerOf(std::uint8_t command, std::uint32_t id) {
        Heard h;
        EXPECT_TRUE(ws.Until(
            [command, id](const Heard& f) {
                return f.answer() && f.command() == command && f.src_id() == id;
            },
            h));
        return h;
    }
    Heard StateOf(std::uint32_t id) { return AnswerOf(GET_STATE, id); }

    TempDir dir;
    TSimScenario scenario;
    TSimOptions options;
    TBusSim sim;
    Workstation ws{dir.path()};
};

} // namespace

TEST_F(SimOnPty, MasterGivesTurnsAndPollsEveryDeviceWithItsAnswerNext) {
    options.turn_ms = 20; // the test sends nothing in its turns
    Start();
    EXPECT_EQ(std::filesystem::read_symlink(dir.file("com9")), sim.SlavePath());
    ASSERT_TRUE(ws.WaitTurn());
    std::vector<Heard> heard;
    Heard h;
    int turns = 0;
    while (turns < 2 && ws.Next(h)) {
        heard.push_back(h);
        if (!h.answer() && h.command() == FIND_DEVICE) {
            ++turns;
            EXPECT_EQ(h.dst_address(), 255);
            EXPECT_TRUE(h.payload().empty());
        }
    }
    ASSERT_EQ(turns, 2);
    int polls = 0;
    for (std::size_t i = 0; i + 1 < heard.size(); ++i) {
        if (heard[i].answer() || heard[i].command() != GET_STATE) {
            continue;
        }
        ++polls;
        const Heard& answer = heard[i + 1];
        EXPECT_TRUE(answer.answer());
        EXPECT_EQ(answer.command(), GET_STATE);
        EXPECT_EQ(answer.src_id(), heard[i].dst_id());
        EXPECT_EQ(answer.src_address(), heard[i].dst_address());
        EXPECT_EQ(answer.dst_address(), TBusSim::MASTER_ADDRESS);
        EXPECT_EQ(answer.payload().size(), 15u);
    }
    EXPECT_EQ(polls, 4) << "two cycles of two devices, each followed by a turn";
}

TEST_F(SimOnPty, WhoisInThePcTurnIsAnsweredNextWithTheDevicePayload) {
    Start();
    ASSERT_TRUE(ws.WaitTurn());
    ASSERT_TRUE(ws.pc.Send(GET_WHOIS, 5, 0x00C0DB01, nullptr, 0));
    Heard h;
    ASSERT_TRUE(ws.NextAnswer(h));
    EXPECT_EQ(h.command(), GET_WHOIS);
    EXPECT_EQ(h.dst_address(), 255);
    EXPECT_EQ(h.dst_id(), PC_ID);
    EXPECT_EQ(h.src_address(), 5);
    EXPECT_EQ(h.src_id(), 0x00C0DB01u);
    Bytes expected = {0x00, 0x05, 0x01, 0xDB, 0xC0, 0x00}; // unused, address, id
    const auto name = [&expected](Bytes cp1251) {
        cp1251.resize(19, 0);
        expected.insert(expected.end(), cp1251.begin(), cp1251.end());
    };
    name({0xCF, 0xCF, 0xCA, '-', '8'});                   // "ППК-8"
    name({0xD1, 0xEA, 0xEB, 0xE0, 0xE4, ' ', 0xB9, '1'}); // "Склад №1"
    expected.insert(expected.end(), {8, 0, 2, 0, 4, 0, 0x2C, 0x01, 0xFF, 0x02});
    EXPECT_EQ(h.payload(), expected);

    TSimJournalEntry entry;
    ASSERT_TRUE(sim.Journal().WaitForCommand(GET_WHOIS, WAIT_MS, &entry));
    EXPECT_TRUE(entry.answered);
    EXPECT_EQ(entry.device_key, 1);
    Bytes sent(frame::BUFFER_SIZE);
    sent.resize(static_cast<std::size_t>(TKordeya32::Decode(
        ws.pc.TransmitBuffer(), ws.pc.TransmitLength(), sent.data(), frame::BUFFER_SIZE)));
    EXPECT_EQ(entry.bytes, sent) << "the journal keeps the frame as the workstation sent it";
}

TEST_F(SimOnPty, RemoteCommandIsAcknowledgedChangesTheLoopAndIsFlagged) {
    Start();
    InjectChange(DeviceEvent(TSimAction::Loop, 2, statecode::LOOP_OFF, 2));
    // Reading the loops clears the device's loops-changed flag. A request held up past its turn
    // is answered after the poll under way, so each answer is waited for by its command.
    ASSERT_TRUE(ws.WaitTurn());
    const std::uint8_t read_lines[] = {0};
    ASSERT_TRUE(ws.pc.Send(GET_LINES, 7, 0x702, read_lines, 1));
    EXPECT_EQ(AnswerOf(GET_LINES, 0x702).payload(), (Bytes{0, 0, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(StateOf(0x702).payload()[2], 0);

    const std::uint64_t before = sim.Journal().LastSeq();
    ASSERT_TRUE(ws.WaitTurn());
    const std::uint8_t line_on[] = {0x02, 0x00, 0x01};
    ASSERT_TRUE(ws.pc.Send(REMOTE_LINE_STATE, 7, 0x702, line_on, 3));
    EXPECT_EQ(AnswerOf(REMOTE_LINE_STATE, 0x702).dst_id(), PC_ID);

    const Bytes state = StateOf(0x702).payload();
    EXPECT_EQ(state[2] | state[3], 1) << "loops changed since they were read";
    EXPECT_EQ(sim.Devices()[1].Loops()[2], statecode::LOOP_NORMAL);
    TSimJournalEntry change;
    ASSERT_TRUE(sim.Journal().WaitFor(
        [](const TSimJournalEntry& e) { return e.kind == TSimEntryKind::Change; }, WAIT_MS, &change,
        before));
    EXPECT_EQ(change.device_key, 2);
    EXPECT_EQ(change.change.item, TSimItem::Loop);
    EXPECT_EQ(change.change.index, 2);
    EXPECT_EQ(change.change.old_value, statecode::LOOP_OFF);
    EXPECT_EQ(change.change.new_value, statecode::LOOP_NORMAL);
}

TEST_F(SimOnPty, RefusedRequestsGetNoAnswerAndAReasonInTheJournal) {
    scenario.devices[0].remote = 0x001;
    Start();
    ASSERT_TRUE(ws.WaitTurn());
    const std::uint8_t line_off[] = {0x00, 0x00, 0x00};
    ASSERT_TRUE(ws.pc.Send(REMOTE_LINE_STATE, 5, 0x00C0DB01, line_off, 3));
    Heard h;
    ASSERT_TRUE(ws.NextAnswer(h));
    EXPECT_EQ(h.command(), GET_STATE) << "no acknowledgement comes first";
    TSimJournalEntry entry;
    ASSERT_TRUE(sim.Journal().WaitForCommand(REMOTE_LINE_STATE, WAIT_MS, &entry));
    EXPECT_FALSE(entry.answered);
    EXPECT_EQ(entry.text, "REMOTE_LINE_STATE is not in the remote mask");

    ASSERT_TRUE(ws.WaitTurn());
    ASSERT_TRUE(ws.pc.Send(GET_WHOIS, 6, 0x00C0DB01, nullptr, 0));
    ASSERT_TRUE(sim.Journal().WaitForCommand(GET_WHOIS, WAIT_MS, &entry));
    EXPECT_EQ(entry.text, "sent to address 6, the device is at 5");

    // A damaged frame is journalled with its bytes and never answered.
    ASSERT_TRUE(ws.WaitTurn());
    const Bytes bad = {0xC0, 0x0C, 0x00, 0x00, 0x05, 0x01, 0xDB, 0xDD, 0xDB, 0xDC,
                       0x00, 0xFF, 0xD4, 0xC3, 0xB2, 0xA1, 0x03, 0x00, 0xAA};
    int written = 0;
    ASSERT_TRUE(ws.pc.Write(bad.data(), written, static_cast<int>(bad.size())));
    ASSERT_TRUE(sim.Journal().WaitFor(
        [](const TSimJournalEntry& e) {
            return e.kind == TSimEntryKind::Received && e.text == "bad checksum";
        },
        WAIT_MS, &entry));
    EXPECT_EQ(entry.bytes.size(), 17u) << "unstuffed";
    EXPECT_FALSE(entry.answered);
}

TEST_F(SimOnPty, MasterRequestsToADeviceAreFollowedByItsAnswer) {
    options.turn_ms = 20; // the test sends nothing in its turns
    Start();
    Inject(DeviceEvent(TSimAction::SetAddress, 1, 9));
    TSimEvent rename = DeviceEvent(TSimAction::SetName, 1);
    rename.text = "Касса";
    Inject(rename);
    Inject(DeviceEvent(TSimAction::SyncTime, 1, 0x6553F100));

    Heard request;
    ASSERT_TRUE(ws.Until([](const Heard& f) { return f.command() == SET_ADR; }, request));
    EXPECT_FALSE(request.answer());
    EXPECT_EQ(request.dst_address(), 5) << "sent to the old address";
    EXPECT_EQ(request.payload(), Bytes{9});
    Heard answer;
    ASSERT_TRUE(ws.Next(answer));
    EXPECT_TRUE(answer.answer());
    EXPECT_EQ(answer.command(), SET_ADR);
    EXPECT_EQ(answer.src_address(), 9);

    ASSERT_TRUE(ws.Until([](const Heard& f) { return f.command() == SET_NAME; }, request));
    Bytes name = {0xCA, 0xE0, 0xF1, 0xF1, 0xE0};
    name.resize(19, 0);
    EXPECT_EQ(request.payload(), name);
    EXPECT_EQ(request.dst_address(), 9);
    ASSERT_TRUE(ws.Next(answer));
    EXPECT_EQ(answer.command(), SET_NAME);
    EXPECT_TRUE(answer.answer());

    ASSERT_TRUE(
        ws.Until([](const Heard& f) { return f.command() == REMOTE_SYNCHRO_TIME; }, request));
    EXPECT_EQ(request.payload(), (Bytes{0x00, 0xF1, 0x53, 0x65}));
    ASSERT_TRUE(ws.Next(answer));
    EXPECT_EQ(answer.command(), REMOTE_SYNCHRO_TIME);
    EXPECT_TRUE(answer.answer());

    const Heard state = StateOf(0x00C0DB01);
    EXPECT_EQ(state.src_address(), 9);
    EXPECT_EQ(state.payload()[1], 1) << "configuration changed";
    const auto journal = sim.Journal().Since();
    EXPECT_EQ(std::count_if(journal.begin(), journal.end(),
                            [](const TSimJournalEntry& e) {
                                return e.kind == TSimEntryKind::Exchange && e.answered;
                            }),
              3);
}

TEST_F(SimOnPty, DamagedAnswersAndNoiseNeverParseAndTheBusRecovers) {
    options.turn_ms = 20; // the test sends nothing in its turns
    Start();
    ASSERT_TRUE(ws.WaitTurn());
    Inject(DeviceEvent(TSimAction::Noise, 0, 64));
    for (const TSimCorruption kind :
         {TSimCorruption::Crc, TSimCorruption::Escape, TSimCorruption::Truncate}) {
        for (const int device : {1, 2}) {
            // Taken first: the damaged answer may be on the line before Inject returns.
            const std::uint64_t before = sim.Journal().LastSeq();
            Inject(DeviceEvent(TSimAction::Corrupt, device, static_cast<std::uint32_t>(kind)));
            EXPECT_TRUE(sim.Journal().WaitFor(
                [device](const TSimJournalEntry& e) {
                    return e.kind == TSimEntryKind::Line && e.device_key == device;
                },
                WAIT_MS, nullptr, before));
        }
    }
    // Both devices answer cleanly afterwards.
    StateOf(0x00C0DB01);
    StateOf(0x702);
    int damaged = 0;
    for (const TSimJournalEntry& e : sim.Journal().Since()) {
        if (e.kind != TSimEntryKind::Line) {
            continue;
        }
        // What the simulator put on the line reached the port unchanged...
        EXPECT_NE(std::search(ws.raw.begin(), ws.raw.end(), e.bytes.begin(), e.bytes.end()),
                  ws.raw.end())
            << e.text;
        if (e.device_key == 0) {
            continue;
        }
        // ...and the workstation's parser never makes a frame of a damaged answer.
        ++damaged;
        TKordeya32 parser("", 1, TPosixSerialSys::Instance());
        int consumed = 0;
        EXPECT_FALSE(parser.Parse(e.bytes.data(), static_cast<int>(e.bytes.size()), consumed, true))
            << e.text;
    }
    EXPECT_EQ(damaged, 6);
}

TEST_F(SimOnPty, SilentDeviceIsPolledButDoesNotAnswerUntilItComesBack) {
    scenario.devices[1].silent = true;
    options.turn_ms = 20; // the test sends nothing in its turns
    Start();
    Heard h;
    int polls_of_silent = 0;
    while (polls_of_silent < 3 && ws.Next(h)) {
        ASSERT_FALSE(h.answer() && h.src_id() == 0x702u);
        polls_of_silent += !h.answer() && h.command() == GET_STATE && h.dst_id() == 0x702u;
    }
    ASSERT_EQ(polls_of_silent, 3);
    EXPECT_TRUE(sim.Devices()[1].Silent());
    Inject(DeviceEvent(TSimAction::Back, 2));
    EXPECT_EQ(StateOf(0x702).src_address(), 7);
    TSimJournalEntry entry;
    ASSERT_TRUE(sim.Journal().WaitFor(
        [](const TSimJournalEntry& e) { return e.change.item == TSimItem::Online; }, WAIT_MS,
        &entry));
    EXPECT_EQ(entry.change.new_value, 1u);
}

TEST_F(SimOnPty, InjectRejectsEventsThatDoNotFit) {
    Start();
    std::string error;
    EXPECT_FALSE(sim.Inject(DeviceEvent(TSimAction::Loop, 3, 1, 0), error));
    EXPECT_EQ(error, "unknown device 3");
    EXPECT_FALSE(sim.Inject(DeviceEvent(TSimAction::Relay, 1, 1, 4), error));
    EXPECT_EQ(error, "device 1 has 4 relays, no relay 5");
    EXPECT_FALSE(sim.Inject(DeviceEvent(TSimAction::Goto, 0, 0), error));
}

TEST_F(SimOnPty, StopRemovesTheLinkAndTheSimulatorStartsAgain) {
    Start();
    const std::string link = dir.file("com9");
    ASSERT_TRUE(ws.WaitTurn());
    sim.Stop();
    EXPECT_FALSE(sim.Running());
    EXPECT_FALSE(std::filesystem::is_symlink(link));
    sim.Stop();
    std::string error;
    ASSERT_TRUE(sim.Start(options, scenario, error)) << error;
    EXPECT_FALSE(sim.Start(options, scenario, error));
    EXPECT_EQ(error, "the simulator is already running");
    Workstation again(dir.path());
    ASSERT_TRUE(again.Open());
    EXPECT_TRUE(again.WaitTurn());
    EXPECT_TRUE(sim.Journal().Since().empty()) << "a fresh journal";
}

TEST_F(SimOnPty, RealtimePaceNeverExceedsNineSixHundredBaud) {
    options.pace = TSimPace::Realtime;
    options.turn_ms = 20;
    const auto started = Clock::now();
    Start();
    Heard h;
    while (ws.Next(h, 100) && Clock::now() - started < std::chrono::milliseconds(500)) {
    }
    sim.Stop();
    const double elapsed_ms =
        std::chrono::duration<double, std::milli>(Clock::now() - started).count();
    const TSimStats stats = sim.Stats();
    EXPECT_GT(stats.polls, 0u);
    // A frame goes out whole and its wire time is waited after it.
    EXPECT_LE(static_cast<double>(stats.bytes), elapsed_ms / 1.04 + 40) << elapsed_ms;
}

TEST(SimStart, BadOptionsAndScenariosAreErrors) {
    TempDir dir;
    TBusSim sim;
    TSimOptions options;
    options.ports_dir = dir.path();
    options.com = 0;
    TSimScenario scenario;
    std::string error;
    EXPECT_FALSE(sim.Start(options, scenario, error));
    EXPECT_EQ(error, "COM number must be 1..255, got 0");
    options.com = 3;
    options.rate = 5;
    EXPECT_FALSE(sim.Start(options, scenario, error));
    EXPECT_EQ(error, "random changes need a positive rate and at least one device");
    scenario.devices = {Panel(1, 5, 1), Panel(2, 5, 2)};
    EXPECT_FALSE(sim.Start(options, scenario, error));
    EXPECT_EQ(error, "device 2: address 5 is taken");
    scenario.devices.pop_back();
    options.answer_delay_ms = 10.5;
    EXPECT_FALSE(sim.Start(options, scenario, error));
    EXPECT_EQ(error, "the answer delay must be 0..10 ms");
    options.answer_delay_ms = 0.5;
    std::filesystem::create_directory(dir.file("com3"));
    EXPECT_FALSE(sim.Start(options, scenario, error));
    EXPECT_EQ(error, dir.file("com3") + " exists and is not a link");
    EXPECT_FALSE(sim.Running());
}

TEST_F(SimOnPty, RandomChangesKeepToTheirWindow) {
    options.rate = 200;
    options.rate_after_s = 0.2;
    options.rate_for_s = 0.1; // room for 20 changes
    options.turn_ms = 20;     // the test sends nothing in its turns
    Start();
    // The end of the window on the simulator's clock, which started before ours; the second turn
    // from then on follows a step that took that clock after the window.
    std::this_thread::sleep_for(
        std::chrono::duration<double>(options.rate_after_s + options.rate_for_s));
    const std::uint64_t turns = sim.Stats().turns;
    Heard h;
    ASSERT_TRUE(ws.Until([&](const Heard&) { return sim.Stats().turns >= turns + 2; }, h));
    int changes = 0;
    for (const TSimJournalEntry& e : sim.Journal().Since()) {
        if (e.kind == TSimEntryKind::Change) {
            ++changes;
            EXPECT_GE(e.elapsed_s, 0.2);
        }
    }
    // A change that sets the value a device already has is no change.
    EXPECT_GT(changes, 0);
    EXPECT_LE(changes, 20);
}
