// The fault matrix: each fault the simulated bus can inject, run through a whole capture. Every row
// names the exit status, a part of the message, and the file from an earlier capture must survive.
// The rows say what goes wrong, not how the simulator is told: another backend's harness can map
// the same rows onto its own fault injection.
#include "capture/hardcopy.h"
#include "cli/cli.h"
#include "cli/exitstatus.h"
#include "gpib/backends/sim/simbus.h"
#include "gpib/errorreport.h"
#include "tests/support/files.h"
#ifndef _WIN32
#include "tests/support/filesizelimit.h"
#endif
#include "tests/support/scratch.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace vellumix::cli {
namespace {

namespace fs = std::filesystem;
using gpib::sim::Fault;
using gpib::sim::ReplyKind;
using gpib::sim::Scenario;

const std::string Id3054 = "ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41 TDS3FFT:v1.00 TDS3TRG:v1.00";
const std::string Earlier = "the picture of an earlier capture";

struct Row {
    std::string name;
    std::function<void(Scenario&)> fault; // applied to a bus with one TDS 3054B at address 1
    int status;
    std::string message;  // part of stderr
    std::size_t room = 0; // > 0: the disk holds only this many bytes of a new file
};

using test::readFile;

Fault writeError(const std::string& command, int code) {
    return {Fault::Kind::WriteError, command, true, 1, ReplyKind::Any, code, 0};
}

std::vector<Row> rows() {
    std::vector<Row> r;
    // Every driver error code on each of the seven hard copy commands.
    auto commands = capture::hardCopySetupCommands("BMPCOLOR", false);
    commands.push_back(capture::HardCopyStart);
    for (const std::string& command : commands) {
        for (int code = 0; code <= 21; ++code) {
            r.push_back({command + " iberr " + std::to_string(code),
                         [=](Scenario& s) { s.instruments[0].faults.push_back(writeError(command, code)); },
                         ExitIo, "GPIB ERROR #" + gpib::numberText(code) + ": " + gpib::errorText(code)});
        }
    }
    // Reads that time out or fail at several chunks of the picture, and of the identification.
    for (int chunk : {1, 2, 3, 60}) {
        r.push_back({"picture read timeout at chunk " + std::to_string(chunk),
                     [=](Scenario& s) {
                         s.instruments[0].faults.push_back({Fault::Kind::ReadTimeout, "", false, chunk,
                                                            ReplyKind::Hardcopy, gpib::EABO, 0});
                     },
                     ExitIo, "I/O Error: Read cycle failed"});
        r.push_back({"picture read error at chunk " + std::to_string(chunk),
                     [=](Scenario& s) {
                         s.instruments[0].faults.push_back(
                             {Fault::Kind::ReadError, "", false, chunk, ReplyKind::Hardcopy, gpib::EBUS, 0});
                     },
                     ExitIo, "I/O Error: Read cycle failed"});
    }
    r.push_back({"identification reads time out",
                 [](Scenario& s) {
                     // Every reply to ID? times out: the search finds no scope.
                     s.instruments[0].faults.push_back(
                         {Fault::Kind::ReadTimeout, "", false, 1, ReplyKind::Id, gpib::EABO, 0});
                     s.instruments[0].faults.back().times = 0;
                 },
                 ExitNoInstrument, "Expected Id-response from device not found"});
    // The driver and the bus.
    for (int code : {2, 3, 4}) {
        r.push_back({"status registration fails with " + std::to_string(code),
                     [=](Scenario& s) { s.registerReturnCode = code; }, ExitBus,
                     "registering the status words failed (code" + gpib::numberText(code) + ")"});
    }
    r.push_back({"nothing on the bus", [](Scenario& s) { s.findLstnError = gpib::EBUS; }, ExitScan,
                 "No listeners found."});
    r.push_back({"too many listeners", [](Scenario& s) { s.findLstnError = gpib::ETAB; }, ExitScan,
                 "Max 14 listeners allowed."});
    r.push_back(
        {"no board", [](Scenario& s) { s.findLstnError = gpib::ENEB; }, ExitScan, "Initialization Error 7"});
    // Odd identification replies.
    r.push_back({"silent scope", [](Scenario& s) { s.instruments[0].idReply.reset(); }, ExitNoInstrument,
                 "Expected Id-response from device not found"});
    r.push_back({"not a TDS", [](Scenario& s) { s.instruments[0].idReply = "HEWLETT-PACKARD,34401A"; },
                 ExitNoInstrument, "HEWLETT-PACKARD,34401A"});
    r.push_back({"unsupported model",
                 [](Scenario& s) { s.instruments[0].idReply = "ID TEK/TDS 5104,CF:91.1CT"; },
                 ExitUnsupportedModel, "TDS 5104 is NOT supported"});
    r.push_back(
        {"binary in the reply",
         [](Scenario& s) { s.instruments[0].idReply = std::string("ID TEK/TDS 3054B,\0\xff\x80", 20); },
         ExitOk, ""});
    // Pictures: larger than a reply can be, and a disk that fills up while it is written.
    r.push_back({"16 MiB picture",
                 [](Scenario& s) { s.instruments[0].hardcopy = gpib::sim::Payload::ofSize(16u << 20); },
                 ExitIo, "Read cycle failed"});
#ifndef _WIN32 // a file size limit stands in for the full disk
    r.push_back(
        {"full disk", [](Scenario&) {}, ExitWrite, "could not be written to out.bmp: File too large", 4096});
#endif
    return r;
}

TEST(FaultMatrix, EveryFaultEndsWithItsStatusAndMessageAndKeepsTheEarlierFile) {
    const test::ScratchDir scratch("fault-matrix", test::ScratchDir::Enter::Yes);
    const fs::path& dir = scratch.path();
    for (const Row& row : rows()) {
        SCOPED_TRACE(row.name);
        Scenario s;
        s.addScope(1, Id3054);
        row.fault(s);
        gpib::VirtualClock clock;
        auto bus = gpib::sim::createSimBus(std::move(s), clock);
        ASSERT_NE(bus, nullptr);
        std::ostringstream out, err;
        CliContext ctx(out, err, clock);
        ctx.driver = bus.get();
        std::ofstream(dir / "out.bmp", std::ios::binary) << Earlier;
        int status = -1;
        {
#ifndef _WIN32
            std::optional<test::FileSizeLimit> full;
            if (row.room > 0) full.emplace(row.room);
#endif
            status = runCli({"capture", "--format", "BMPCOLOR", "-o", "out.bmp"}, ctx);
        }
        EXPECT_EQ(status, row.status) << err.str();
        EXPECT_NE(err.str().find(row.message), std::string::npos) << err.str();
        if (row.status != ExitOk) {
            EXPECT_EQ(readFile(dir / "out.bmp"), Earlier);
        }
        std::size_t files = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir))
            ++files;
        EXPECT_EQ(files, 1u) << "a temporary file was left behind";
    }
}

} // namespace
} // namespace vellumix::cli
