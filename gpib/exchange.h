#pragma once
// Message exchange with one device: write a command, read a reply (text or picture bytes), and
// both as a query.
#include "gpib/link.h"

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

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

// Bytes of one read in the exchange.
inline constexpr int ReadChunk = 512;
// The chunk counter is 16-bit: a reply can hold at most this many chunks.
inline constexpr int MaxChunks = 32767;

void WriteCommand(InstrumentLink& link, int16_t ud, const std::string& command);
// On a failed read the "I/O Error" box is shown, the empty text returned and
// link.lastReadFailed() set until the next read. A read cancelled (link.requestCancel) stops before
// its next piece, sends the device a clear, shows no box and returns the empty text with
// lastReadFailed() set; link.cancelRequested() tells it from a failure.
std::string ReadResponse(InstrumentLink& link, int16_t ud, ReadMode mode = ReadMode::Text,
                         const ReadProgress& progress = {});
std::string QueryDevice(InstrumentLink& link, int16_t ud, const std::string& command,
                        ReadMode mode = ReadMode::Text, const ReadProgress& progress = {});
// Waits, letting window events run (painting, no user input).
void Delay(InstrumentLink& link, float seconds);
[[noreturn]] void DeviceNotConfigured(InstrumentLink& link);

// Removes spaces at both ends and then up to three line-end characters from the end, as a reply
// text is cleaned (see ReadResponse).
void cleanReplyText(std::string& text);

} // namespace vellumix::gpib
