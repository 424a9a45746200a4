// The virtual adapter alone, fed raw host bytes on its own clock: what each firmware answers,
// what a burst loses while the firmware is busy, what a host line does to a running read, and
// the AR488 0.50 message that never ends. The expectations are what the genuine firmware does.
#include "tools/sim-adapter/emulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using namespace vellumix;
using namespace vellumix::simadapter;
using gpib::sim::Payload;
using gpib::sim::Scenario;

namespace {

const std::string V047 = "AR488 GPIB controller, ver. 0.47.60, 05/12/2019\r\n";
const std::string V049 = "AR488 GPIB controller, ver. 0.49.03, 18/12/2020\r\n";
const std::string V050 = "AR488 GPIB controller, ver. 0.50.16, 02/06/2021\r\n";
const std::string V053 = "AR488 GPIB controller, ver. 0.53.04, 13/04/2025\r\n";
const std::string VPRO = "Prologix GPIB-USB Controller version 6.107\r\n";
const std::string Unrecognized = "Unrecognized command\r\n";

Clock::duration at(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

std::string name(Firmware f) {
    return profile(f).name;
}

Scenario scopeSending(const std::string& picture) {
    Scenario s;
    auto& scope = s.addScope(1, "ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41");
    scope.hardcopy = Payload::fromBytes(picture, {});
    return s;
}

// One adapter on a serial line at 115200 baud both ways.
struct Raw {
    AdapterEmulator adapter;
    explicit Raw(Firmware f, Scenario s = Scenario::defaultScenario(), std::size_t pauseAt = 0,
                 double pause = 0)
        : adapter(std::move(s), options(f, pauseAt, pause)) {}
    static AdapterOptions options(Firmware f, std::size_t pauseAt, double pause) {
        AdapterOptions o;
        o.firmware = f;
        o.flavour = profile(f).flavour;
        o.rate = 11520;
        o.pauseAt = pauseAt;
        o.pauseSeconds = pause;
        return o;
    }
    void send(const std::string& bytes, double seconds) { adapter.input(bytes, at(seconds)); }
    std::string until(double seconds) {
        std::string out;
        adapter.takeOutput(at(seconds), out);
        return out;
    }
};

} // namespace

TEST(AdapterFirmware, CommandsAndTheirTextsPerVersion) {
    using F = Firmware;
    const struct {
        F firmware;
        std::string host;
        std::string reply;
    } rows[] = {
        // Unknown commands, and ++fndl before 0.52.17.
        {F::Ar488_047, "++foo\n", Unrecognized},
        {F::Ar488_050, "++foo\n", Unrecognized},
        {F::Ar488_053, "++foo\n", Unrecognized},
        {F::Prologix, "++foo\n", ""},
        {F::Ar488_049, "++fndl 1-5\n", Unrecognized},
        {F::Ar488_050, "++fndl 1-5\n", Unrecognized},
        {F::Ar488_050, "++help\n", Unrecognized},
        // ++fndl on 0.53: a list, a range, "all"; its refusals; an empty line when nobody listens.
        {F::Ar488_053, "++fndl 1-5\n", "1\r\n"},
        {F::Ar488_053, "++fndl 1,7\n", "1\r\n"},
        {F::Ar488_053, "++fndl 1 2 7\n", "1\r\n"},
        {F::Ar488_053, "++fndl all\n", "1\r\n"},
        {F::Ar488_053, "++fndl 2-9\n", "\r\n"},
        {F::Ar488_053, "++fndl\n", "Missing parameter\r\n"},
        {F::Ar488_053, "++fndl 31\n", "Invalid parameter\r\n"},
        {F::Ar488_053, "++fndl 0-40\n", "Invalid parameter\r\n"},
        // A refused ++fndl leaves the 35 ms scan timeout in place.
        {F::Ar488_053, "++fndl 31\n++read_tmo_ms\n", "Invalid parameter\r\n35\r\n"},
        {F::Ar488_053, "++fndl 1-3\n++read_tmo_ms\n", "1\r\n1200\r\n"},
        // Read timeout limits and what a refusal prints.
        {F::Ar488_050, "++read_tmo_ms 0\n++read_tmo_ms 40000\n++read_tmo_ms\n",
         Unrecognized + Unrecognized + "1200\r\n"},
        {F::Ar488_053, "++read_tmo_ms 0\n++read_tmo_ms 40000\n++read_tmo_ms\n",
         "Invalid parameter\r\nInvalid parameter\r\n1200\r\n"},
        {F::Ar488_053, "++read_tmo_ms x\n++read_tmo_ms 32000\n++read_tmo_ms\n", "32000\r\n"},
        {F::Ar488_050, "++read_tmo_ms x\n", Unrecognized},
        {F::Prologix, "++read_tmo_ms 9000\n++read_tmo_ms\n", "3000\r\n"},
        {F::Ar488_050, "++addr 0\n", Unrecognized},
        {F::Ar488_053, "++addr 0\n++eos 5\n++auto 4\n",
         "Invalid parameter\r\nInvalid parameter\r\nInvalid parameter\r\n"},
        // ++ver, ++ver real and a version string set by the user.
        {F::Ar488_050, "++ver\n++ver real\n", V050 + V050},
        {F::Ar488_047, "++setvstr Foo\n++ver\n++ver real\n", "Foo\r\n" + V047},
        {F::Ar488_049, "++setvstr Foo Bar\n++ver\n++ver real\n", "Foo Bar\r\nFoo Bar\r\n" + V049},
        {F::Ar488_050, "++id verstr Baz\n++ver\n++ver real\n++id verstr\n",
         "Baz\r\nBaz\r\n" + V050 + "Baz\r\n"},
        {F::Ar488_053, "++setvstr Foo\n++ver\n", Unrecognized + V053},
        {F::Ar488_053, "++id verstr Baz\n++ver\n++ver real\n", "Baz\r\nBaz\r\n" + V053},
        {F::Ar488_047, "++id verstr Baz\n", Unrecognized},
        {F::Prologix, "++ver real\n", VPRO},
        // ++savecfg writes the EEPROM and prints nothing.
        {F::Ar488_050, "++savecfg\n++savecfg 0\n", ""},
        {F::Ar488_053, "++savecfg\n", ""},
        // ++spoll N: before 0.51 it returns at once and prints nothing; ++spoll polls ++addr.
        {F::Ar488_050, "++addr 1\n++spoll 1\n", ""},
        {F::Ar488_047, "++addr 1\n++spoll 1\n", ""},
        {F::Ar488_050, "++addr 1\n++spoll\n", "0\r\n"},
        {F::Ar488_053, "++spoll 1\n", "0\r\n"},
        {F::Prologix, "++spoll 1\n", "0\r\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(name(row.firmware) + ": " + row.host);
        Raw raw(row.firmware);
        raw.send(row.host, 0);
        EXPECT_EQ(raw.until(5), row.reply);
        EXPECT_EQ(raw.adapter.lostInput(), 0u);
    }
}

TEST(AdapterFirmware, ABurstWhileTheFirmwareIsBusyLosesWhatItsBufferCannotHold) {
    using F = Firmware;
    std::string twenty;
    for (int i = 0; i < 20; ++i)
        twenty += "++ver\n";
    const struct {
        F firmware;
        std::string busy; // what keeps the firmware away from its input
        int answers;      // of the twenty ++ver
        std::size_t lost;
    } rows[] = {
        // 0.53 stays away 100 ms after ++mode 1: 63 bytes = ten lines and "++v" survive.
        {F::Ar488_053, "++mode 1\n", 10, 57},
        {F::Ar488_050, "++mode 1\n", 20, 0},
        // A read that waits for an absent reply (0.49 and 0.53 leave the input alone meanwhile);
        // 0.49 then runs the ten surviving lines and the partial one together: no answer at all.
        {F::Ar488_049, "++addr 5\n++read eoi\n", 0, 57},
        {F::Ar488_053, "++addr 5\n++read eoi\n", 10, 57},
        // A poll of an absent address waits the read timeout.
        {F::Ar488_053, "++spoll 5\n", 10, 57},
        // A Prologix's buffer is not the bottleneck.
        {F::Prologix, "++mode 1\n", 20, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(name(row.firmware) + " busy with " + row.busy);
        Raw raw(row.firmware);
        raw.send("++id verstr V\n", 0); // a short answer: the output buffer never blocks
        raw.send(row.busy + twenty, 0.1);
        const std::string out = raw.until(5);
        const std::string answer = row.firmware == F::Prologix ? VPRO : "V\r\n";
        int count = 0;
        for (auto p = out.find(answer); p != std::string::npos; p = out.find(answer, p + answer.size()))
            ++count;
        if (row.firmware != F::Prologix) --count; // the echo of ++id verstr
        EXPECT_EQ(count, row.answers) << out;
        EXPECT_EQ(raw.adapter.lostInput(), row.lost);
    }
}

TEST(AdapterFirmware, TheLeftOverOfALostBurstSpoilsTheNextLine) {
    // As on the genuine 0.53.04: "++v" waits in the parser and the next line joins it.
    Raw raw(Firmware::Ar488_053);
    std::string twenty;
    for (int i = 0; i < 20; ++i)
        twenty += "++ver\n";
    raw.send("++id verstr V\n++mode 1\n" + twenty, 0);
    raw.until(1);
    raw.send("++ver\n", 1);
    EXPECT_EQ(raw.until(2), Unrecognized);
}

TEST(AdapterFirmware, LinesQueuedWhileBusyRunTogetherOnOldFirmware) {
    // Two lines that wait out a read: 0.47 and 0.49 drain both into one buffer, and "ver++ver"
    // is no command; later versions answer each.
    const struct {
        Firmware firmware;
        std::string reply;
    } rows[] = {
        {Firmware::Ar488_047, Unrecognized},
        {Firmware::Ar488_049, Unrecognized},
        {Firmware::Ar488_050, V050 + V050}, // the line stops the read before its stray byte
        {Firmware::Ar488_053, V053 + V053},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(name(row.firmware));
        Raw raw(row.firmware);
        raw.send("++addr 5\n++read eoi\n", 0);
        raw.send("++ver\n++ver\n", 0.2);
        EXPECT_EQ(raw.until(5), row.reply);
    }
}

TEST(AdapterFirmware, AReadThatTimesOutPrintsItsLastByteAgainOn050) {
    const struct {
        Firmware firmware;
        std::string reply;
    } rows[] = {
        {Firmware::Ar488_047, ""},
        {Firmware::Ar488_050, std::string(1, '\0')},
        {Firmware::Ar488_053, ""},
        {Firmware::Prologix, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(name(row.firmware));
        Raw raw(row.firmware);
        raw.send("++addr 5\n++read eoi\n", 0);
        EXPECT_EQ(raw.until(5), row.reply);
    }
}

TEST(AdapterFirmware, AHostLineDuringAReadAsEachFirmwareTakesIt) {
    // The scope pauses 1 s after five bytes; "++ver" comes in the pause. Then a second read
    // collects what the scope still holds.
    const std::string picture = "ABCDEFGHIJKLMNOPQRST";
    const std::string eot(1, '\x04');
    const struct {
        Firmware firmware;
        std::string first;  // up to the answer to ++ver
        std::string second; // the next ++read eoi
    } rows[] = {
        // One host character per GPIB byte: the line is complete at K, which is dropped.
        {Firmware::Ar488_047, "ABCDEFGHIJ" + V047, "LMNOPQRST" + eot},
        {Firmware::Ar488_049, picture + eot + V049, ""},
        // The line is seen after the first byte behind the pause: F is lost.
        {Firmware::Ar488_050, "ABCDE" + V050, "GHIJKLMNOPQRST" + eot},
        {Firmware::Ar488_053, picture + eot + V053, ""},
        // Stopped at once, nothing lost on the bus.
        {Firmware::Prologix, "ABCDE" + VPRO, "FGHIJKLMNOPQRST" + eot},
        {Firmware::Immediate, "ABCDE" + VPRO, "FGHIJKLMNOPQRST" + eot},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(name(row.firmware));
        Raw raw(row.firmware, scopeSending(picture), 5, 1.0);
        raw.send("++addr 1\n++eot_enable 1\n++eot_char 4\n++eoi 1\n++eos 2\n++read_tmo_ms 3000\n", 0);
        raw.send("HARDCOPY START\n++read eoi\n", 0.1);
        raw.send("++ver\n", 0.5);
        EXPECT_EQ(raw.until(2), row.first);
        raw.send("++read eoi\n", 2);
        EXPECT_EQ(raw.until(9), row.second);
    }
}

TEST(AdapterFirmware, On050TheEndCharacterFollowsOnlyALostByteThatCarriedEoi) {
    // The pause comes right before the last byte: the host line loses it, with its EOI.
    Raw raw(Firmware::Ar488_050, scopeSending("ABCDEF"), 5, 1.0);
    raw.send("++addr 1\n++eot_enable 1\n++eot_char 4\n++eos 2\n++read_tmo_ms 3000\n", 0);
    raw.send("HARDCOPY START\n++read eoi\n", 0.1);
    raw.send("++ver\n", 0.5);
    EXPECT_EQ(raw.until(3), "ABCDE\x04" + V050);
}

TEST(AdapterFirmware, EoiAfterTheLastByteLeavesTheMessageOpenUntilAnLf) {
    const struct {
        Firmware firmware;
        int eos;
        std::vector<std::string> received; // what the scope took as messages
    } rows[] = {
        {Firmware::Ar488_050, 3, {}},          {Firmware::Ar488_050, 2, {"ID?\n"}},
        {Firmware::Ar488_050, 0, {"ID?\r\n"}}, {Firmware::Ar488_050, 1, {}}, // CR is no end for a TDS
        {Firmware::Ar488_047, 3, {}},          {Firmware::Ar488_049, 3, {}},
        {Firmware::Ar488_053, 3, {"ID?"}},     {Firmware::Prologix, 3, {"ID?"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(name(row.firmware) + " eos " + std::to_string(row.eos));
        Raw raw(row.firmware);
        raw.send("++addr 1\n++eoi 1\n++eos " + std::to_string(row.eos) + "\nID?\n", 0);
        raw.until(1);
        EXPECT_EQ(raw.adapter.bus().instrumentAt(1)->received(), row.received);
    }
    // The open message runs into the next one, which the scope then cannot parse.
    Raw raw(Firmware::Ar488_050);
    raw.send("++addr 1\n++eoi 1\n++eos 3\nID?\n++eos 2\nID?\n", 0);
    raw.until(1);
    EXPECT_EQ(raw.adapter.bus().instrumentAt(1)->received(), std::vector<std::string>{"ID?ID?\n"});
}
