#include "gpib/link.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace vellumix::gpib {

namespace {

// Collects a reply in blocks and joins them once at the end: no growing buffer being copied
// over and over, and the peak stays near twice the reply size whatever its length.
class ReplyCollector {
public:
    void append(const char* data, std::size_t n) {
        total_ += n;
        if (head_.size() < ProgressHeadBytes)
            head_.append(data, std::min(n, ProgressHeadBytes - head_.size()));
        while (n > 0) {
            if (used_ == blockSize_) newBlock();
            const std::size_t take = std::min(n, blockSize_ - used_);
            std::memcpy(blocks_.back().get() + used_, data, take);
            used_ += take;
            data += take;
            n -= take;
        }
    }

    std::size_t size() const { return total_; }
    std::string_view head() const { return head_; }

    std::string take() {
        std::string result;
        result.resize(total_);
        std::size_t at = 0;
        std::size_t size = FirstBlock;
        for (std::size_t i = 0; i < blocks_.size(); ++i) {
            const std::size_t n = std::min(size, total_ - at);
            std::memcpy(result.data() + at, blocks_[i].get(), n);
            blocks_[i].reset();
            at += n;
            size = std::min(size * 2, MaxBlock);
        }
        blocks_.clear();
        return result;
    }

private:
    static constexpr std::size_t FirstBlock = 4096;
    static constexpr std::size_t MaxBlock = std::size_t{1} << 20;

    void newBlock() {
        blockSize_ = blocks_.empty() ? FirstBlock : std::min(blockSize_ * 2, MaxBlock);
        blocks_.push_back(std::make_unique_for_overwrite<char[]>(blockSize_));
        used_ = 0;
    }

    std::vector<std::unique_ptr<char[]>> blocks_;
    std::size_t blockSize_ = 0;
    std::size_t used_ = 0;
    std::size_t total_ = 0;
    std::string head_;
};

bool isLineEnd(char c) {
    return c == '\n' || c == '\r';
}

} // namespace

void cleanReplyText(std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    text.erase(text.find_last_not_of(' ') + 1);
    text.erase(0, first);
    if (text.size() >= 2 && isLineEnd(text[text.size() - 2])) text.pop_back();
    for (int i = 0; i < 2 && !text.empty() && isLineEnd(text.back()); ++i)
        text.pop_back();
}

void InstrumentLink::WriteCommand(int16_t ud, const std::string& command) {
    GpibErrorFlag = 0;
    if (ud == 0) DeviceNotConfigured();
    ibwrt(ud, command);
    ReportGpibError();
}

std::string InstrumentLink::ReadResponse(int16_t ud, ReadMode mode, const ReadProgress& progress) {
    if (ud == 0) DeviceNotConfigured();
    int16_t savedTimeout = 0;
    ibask(ud, IbaTMO, savedTimeout);
    if (savedTimeout != T10s) ibtmo(ud, T10s);

    ReplyCollector reply;
    char buffer[ReadChunk];
    int chunks = 0;
    bool failed = false;
    for (;;) {
        if (chunks == MaxChunks) {
            // The reply does not fit the 16-bit chunk counter: give up rather than wrap it.
            failed = true;
            break;
        }
        std::memset(buffer, ' ', sizeof buffer);
        ibwait(ud, static_cast<int16_t>(TIMO | CMPL));
        ibrd(ud, buffer, ReadChunk);
        if (ibsta & TIMO) {
            failed = true;
            break;
        }
        // Only the bytes the driver delivered belong to the reply, never the buffer's padding.
        const auto delivered = static_cast<std::size_t>(std::clamp<int32_t>(ibcntl, 0, ReadChunk));
        reply.append(buffer, delivered);
        ++chunks;
        if (progress) progress(reply.size(), reply.head());
        if (ibsta & END) break;
        if (ibsta & ERR) {
            // An error without timeout or end: the device will not finish this reply.
            failed = true;
            break;
        }
    }
    ibtmo(ud, savedTimeout);

    if (failed) {
        readFailed();
        return {};
    }
    std::string text = reply.take();
    if (mode == ReadMode::Text) cleanReplyText(text);
    return text;
}

std::string InstrumentLink::QueryDevice(int16_t ud, const std::string& command, ReadMode mode,
                                        const ReadProgress& progress) {
    if (ud == 0) DeviceNotConfigured();
    WriteCommand(ud, command);
    Delay(0.1f);
    if (GpibErrorFlag == 0) return ReadResponse(ud, mode, progress);
    return {};
}

void InstrumentLink::Delay(float seconds) {
    // A monotonic clock: the wait ends after the given time, midnight or not.
    const auto start = clock_.now();
    const auto wait = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    const auto slice = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(5));
    for (auto now = clock_.now(); start + wait > now; now = clock_.now()) {
        desktop_.processEvents();
        clock_.sleepFor(std::min(slice, start + wait - clock_.now()));
    }
}

void InstrumentLink::DeviceNotConfigured() {
    desktop_.messageBox("Device not configured.\n\nCorrect problem and restart.", MbCritical | MbOk,
                        "Device Error");
    desktop_.endProgram(FatalReason::DeviceNotConfigured);
    std::abort(); // endProgram does not come back
}

void InstrumentLink::readFailed() {
    desktop_.messageBox("Read cycle failed\nOperation aborted.", MbExclamation | MbOk, "I/O Error");
}

} // namespace vellumix::gpib
