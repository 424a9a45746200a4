#pragma once
// What a simulated bus holds: the instruments, their replies, timing and injected faults. Built in
// code (tests, benchmarks) or read from a JSON scenario file (docs/simulator.md).
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vellumix::gpib::sim {

// The six hard copy formats a simulated scope writes.
enum class PictureFormat { Bmp, BmpColor, Tiff, Png, Pcx, PcxColor };

// The scope's word for a format ("BMP", "BMPCOLOR", ...).
const char* formatWord(PictureFormat format);
// Reads a format word as a scope does: case-insensitive, Tek short forms ("BMPC", "TIF") accepted.
std::optional<PictureFormat> parseFormatWord(std::string_view word);

// What "HARDCOPY START" sends.
struct Payload {
    enum class Source {
        Render, // a scope screen drawn in the current format and ink saver setting
        Bytes,  // fixed bytes (a file's contents, hex or base64 from a scenario)
        Size,   // a generated block of `size` bytes (letters only, so no end is trimmed)
    };
    Source source = Source::Render;
    std::string bytes;
    std::size_t size = 0;
    std::string append; // bytes sent after the picture, before END

    static Payload rendered(std::string append = {});
    static Payload fromBytes(std::string bytes, std::string append = {});
    static Payload ofSize(std::size_t size);
};

// Which reply a read fault hits.
enum class ReplyKind { Any, Id, Hardcopy, Other };

struct Fault {
    enum class Kind {
        WriteError,      // ibwrt of a matching message fails with iberr (EABO also costs the timeout)
        ReadTimeout,     // the chunk-th ibrd of a reply times out (TIMO|ERR, EABO)
        ReadError,       // the chunk-th ibrd of a reply reports ERR with iberr, no TIMO, no END
        TimeoutSetError, // ibtmo on this instrument fails with iberr
    };
    Kind kind = Kind::WriteError;
    std::string match;  // WriteError: case-insensitive substring of the message ("" = every message)
    bool exact = false; // WriteError: the message must equal `match` byte for byte
    int chunk = 1;      // Read*: 1 = the first ibrd of the reply
    ReplyKind reply = ReplyKind::Hardcopy;
    int iberr = 6;
    int times = 0; // how often it fires; 0 = every time
};

struct InstrumentSetup {
    int address = 1;
    bool scope = true;                   // understands the HARDCOPY commands
    std::optional<std::string> idReply;  // reply to "ID?"; none = no reply
    std::optional<std::string> idnReply; // reply to "*IDN?"; none = no reply
    std::string replyEnding = "\n";      // sent after every text reply, END on its last byte
    bool silent = false;                 // on the bus, takes commands, never talks (polls time out)
    std::string model;                   // for the picture; empty: cut from idReply ("TDS ...")
    int screenWidth = 0;                 // 0: by model family
    int screenHeight = 0;
    // Hard copy settings at power-on.
    PictureFormat format = PictureFormat::Bmp;
    bool inkSaver = false;
    std::string port = "GPIB";
    Payload hardcopy;                                  // for every format ...
    std::map<PictureFormat, Payload> hardcopyByFormat; // ... unless one is given here
    std::optional<uint32_t> bmpFileSizeField;          // TDS 400 firmware writes a false bfSize (975)
    std::vector<Fault> faults;
    // Seconds from arming a single acquisition (ACQUIRE:STATE RUN with STOPAFTER SEQUENCE) to its
    // trigger; none = the trigger never comes.
    std::optional<double> triggerAfter = 0.0;

    // The model name the picture shows and the screen size it is drawn at.
    std::string effectiveModel() const;
    int effectiveWidth() const;
    int effectiveHeight() const;
};

struct Scenario {
    std::string description;
    std::vector<InstrumentSetup> instruments;
    double rate = 0;                       // bytes per second of every read; 0 = instant
    double latency = 0;                    // seconds from a query to the first byte of its reply
    std::optional<double> hardcopyLatency; // the same for a picture (drawing it takes a scope longer)
    int registerReturnCode = 0;            // what RegisterGpibGlobalsForThread returns (0 = works)
    std::optional<int> findLstnError;      // FindLstn fails with this iberr
    bool boardAnswersAlone = false;        // no instruments: FindLstn reports the board instead of EBUS

    // One TDS 3054B at address 1, about a second for a colour BMP.
    static Scenario defaultScenario();
    // A TDS scope answering ID? with `idReply` (the Tek "ID " prefix included by the caller).
    InstrumentSetup& addScope(int address, std::string idReply);
    // A non-scope instrument; idReply none = it does not answer ID?.
    InstrumentSetup& addInstrument(int address, std::optional<std::string> idReply);
};

// Checks what the JSON reader checks for a scenario built in code; empty = fine.
std::string validateScenario(const Scenario& scenario);

// Parses a scenario from JSON text; file paths inside are relative to baseDir.
bool parseScenario(const std::string& json, const std::string& baseDir, Scenario& out, std::string& error);
bool loadScenarioFile(const std::string& path, Scenario& out, std::string& error);

} // namespace vellumix::gpib::sim
