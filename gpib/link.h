#pragma once
// The instrument link: the driver wrappers with the driver's names, the status words, message
// exchange, bus scan and device search, and the driver error report. One object per run holds
// every program-wide value of the link; tests create a fresh one each.
#include "platform/desktop.h"
#include "gpib/clock.h"
#include "gpib/driver.h"
#include "gpib/status.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vellumix::gpib {

// How ReadResponse hands back what it read.
enum class ReadMode {
    Text, // a reply text: spaces and line ends trimmed at the ends
    Raw,  // picture data: every byte the device sent, untouched
};

// Called after each chunk with the number of bytes received so far and the reply's first bytes
// (up to ProgressHeadBytes of them: enough for a picture header).
using ReadProgress = std::function<void(std::size_t received, std::string_view head)>;
inline constexpr std::size_t ProgressHeadBytes = 64;

class InstrumentLink {
public:
    InstrumentLink(GpibDriver& driver, Desktop& desktop, Clock& clock);

    // --- Status words (16-bit folded copies of the driver's words) ---
    int16_t ibsta = 0;
    int16_t iberr = 0;
    int16_t ibcnt = 0;
    int32_t ibcntl = 0;
    // Driver-side words registered with the driver.
    int32_t RawIbsta = 0;
    int32_t RawIberr = 0;
    int32_t RawIbcnt = 0;
    int16_t StatusRegistered = 0;

    // --- Program-wide values of the link ---
    int16_t GpibErrorFlag = 0; // 0 false, -1 true
    int16_t DeviceTimeout = 0;
    int16_t ScopeAddress = 0;
    std::array<int16_t, 15> Listeners{};
    std::array<int16_t, 15> FreeListeners{};
    std::array<int16_t, 15> ListenerDevices{};
    int16_t SpareDevice = 0;
    int16_t SpareOpen = 0;

    // --- Wrappers ---
    void RegisterStatus();
    void CopyStatus();
    void ibask(int16_t ud, int16_t option, int16_t& value);
    void ibclr(int16_t ud);
    void ibdev(int16_t board, int16_t pad, int16_t sad, int16_t tmo, int16_t eot, int16_t eos, int16_t& ud);
    void ibpad(int16_t ud, int16_t address);
    // Reads into buf (its length is the count); returns nothing: ibcntl says how many bytes came.
    void ibrd(int16_t ud, std::string& buf);
    void ibrd(int16_t ud, char* buf, int32_t count);
    void ibrsp(int16_t ud, int16_t& poll);
    void ibsre(int16_t board, int16_t v);
    void ibtmo(int16_t ud, int16_t code);
    void ibwait(int16_t ud, int16_t mask);
    void ibwrt(int16_t ud, const std::string& text);
    void FindLstn(int16_t board, const int16_t* addrList, int16_t* results, int16_t limit);
    void SendIFC(int16_t board);

    // --- Message exchange ---
    void WriteCommand(int16_t ud, const std::string& command);
    std::string ReadResponse(int16_t ud, ReadMode mode = ReadMode::Text, const ReadProgress& progress = {});
    std::string QueryDevice(int16_t ud, const std::string& command, ReadMode mode = ReadMode::Text,
                            const ReadProgress& progress = {});
    void Delay(float seconds);
    [[noreturn]] void DeviceNotConfigured();

    // Bytes of one read; 512 in the exchange, 256 in the device search.
    static constexpr int ReadChunk = 512;
    static constexpr int ProbeChunk = 256;
    // The chunk counter is 16-bit: a reply can hold at most this many chunks.
    static constexpr int MaxChunks = 32767;

    // --- Error report ---
    void ReportGpibError();
    static const char* errorText(int code);

    // --- Bus scan and device search ---
    void ScanBus(int16_t mode);
    int16_t FindDeviceById(std::string& query, std::string& expected);

    // The spare is marked as handed out on the empty-query path too (see discovery.cpp).
    Desktop& desktop() { return desktop_; }
    Clock& clock() { return clock_; }

private:
    template <typename Call> void wrap(Call&& call);
    void readFailed();

    GpibDriver& driver_;
    Desktop& desktop_;
    Clock& clock_;
    // Blocks replies are read into, kept for the next read (see exchange.cpp).
    std::vector<std::unique_ptr<char[]>> readBlocks_;
};

// Size of the blocks a reply is collected in.
inline constexpr std::size_t ReadBlockSize = 64 * 1024;

// Removes spaces at both ends and then up to three line-end characters from the end, as a reply
// text is cleaned (see ReadResponse).
void cleanReplyText(std::string& text);

// Number format of message texts: a leading blank for values of 0 or more.
std::string numberText(long value);

} // namespace vellumix::gpib
