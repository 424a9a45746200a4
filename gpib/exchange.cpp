#include "gpib/exchange.h"

#include "gpib/errorreport.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace vellumix::gpib {

namespace {

// Collects a reply in fixed blocks that the driver reads into directly, and joins them once at
// the end: nothing is copied over and over as the reply grows, and the peak stays at twice the
// reply size. The blocks come from the link's pool and go back to it, so a run that reads many
// hard copies does not ask the system for fresh memory each time.
class ReplyCollector {
public:
    explicit ReplyCollector(ReadBlockPool& pool) : pool_(pool) {}
    ~ReplyCollector() { release(); }
    ReplyCollector(const ReplyCollector&) = delete;
    ReplyCollector& operator=(const ReplyCollector&) = delete;

    // Room for the next read of n bytes (n <= BlockSize), filled with spaces as a read buffer is.
    char* reserve(std::size_t n) {
        if (blocks_.empty() || used_.back() + n > ReadBlockSize) {
            if (pool_.empty()) {
                blocks_.push_back(std::make_unique_for_overwrite<char[]>(ReadBlockSize));
            } else {
                blocks_.push_back(std::move(pool_.back()));
                pool_.pop_back();
            }
            used_.push_back(0);
        }
        char* at = blocks_.back().get() + used_.back();
        std::memset(at, ' ', n);
        return at;
    }

    // The read at reserve()'s place delivered n bytes.
    void commit(std::size_t n) {
        const char* at = blocks_.back().get() + used_.back();
        if (head_.size() < ProgressHeadBytes) head_.append(at, std::min(n, ProgressHeadBytes - head_.size()));
        used_.back() += n;
        total_ += n;
    }

    std::size_t size() const { return total_; }
    std::string_view head() const { return head_; }

    std::string take() {
        std::string result;
        result.reserve(total_);
        for (std::size_t i = 0; i < blocks_.size(); ++i)
            result.append(blocks_[i].get(), used_[i]);
        release();
        return result;
    }

private:
    void release() {
        for (auto& b : blocks_)
            pool_.push_back(std::move(b));
        blocks_.clear();
        used_.clear();
    }

    ReadBlockPool& pool_;
    std::vector<std::unique_ptr<char[]>> blocks_;
    std::vector<std::size_t> used_;
    std::size_t total_ = 0;
    std::string head_;
};

void readFailed(InstrumentLink& link) {
    link.setLastReadFailed(true);
    // The bus's own account of the failure, where it has one, follows the fixed text.
    std::string prompt = "Read cycle failed\nOperation aborted.";
    if (const std::string detail = link.failureDetail(); !detail.empty()) prompt += "\n\n" + detail;
    link.desktop().messageBox(prompt, MbExclamation | MbOk, "I/O Error");
}

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

void WriteCommand(InstrumentLink& link, int16_t ud, const std::string& command) {
    link.GpibErrorFlag = 0;
    if (ud == 0) DeviceNotConfigured(link);
    link.ibwrt(ud, command);
    // A write the user cancelled (an adapter's wait for the end of an earlier read is cut short)
    // is no failure to report; the caller sees the cancel.
    if (link.cancelRequested() && (link.ibsta & ERR) && link.iberr == EABO) {
        link.GpibErrorFlag = -1;
        return;
    }
    ReportGpibError(link);
}

std::string ReadResponse(InstrumentLink& link, int16_t ud, ReadMode mode, const ReadProgress& progress) {
    link.setLastReadFailed(false);
    if (ud == 0) DeviceNotConfigured(link);
    int16_t savedTimeout = 0;
    link.ibask(ud, IbaTMO, savedTimeout);
    if (savedTimeout != T10s) link.ibtmo(ud, T10s);

    ReplyCollector reply(link.readBlocks());
    int chunks = 0;
    bool failed = false;
    bool cancelled = false;
    for (;;) {
        // Checked between the pieces: every bus honours a cancel within one piece's time, also one
        // whose driver cannot interrupt a call.
        if (link.cancelRequested()) {
            cancelled = true;
            break;
        }
        if (chunks == MaxChunks) {
            // The reply does not fit the 16-bit chunk counter: give up rather than wrap it.
            failed = true;
            break;
        }
        char* buffer = reply.reserve(ReadChunk);
        link.ibwait(ud, static_cast<int16_t>(TIMO | CMPL));
        link.ibrd(ud, buffer, ReadChunk);
        if (!link.statusKnown()) {
            // Without status words no read can tell its end or its length: it would go on for
            // every chunk the counter allows. Blame the driver, not the scope.
            link.ibtmo(ud, savedTimeout);
            DriverUnusable(link);
        }
        // A reply that ended is whole: the caller decides what a late cancel means for it.
        if (link.cancelRequested() && !(link.ibsta & END)) {
            cancelled = true;
            break;
        }
        if (link.ibsta & TIMO) {
            failed = true;
            break;
        }
        // Only the bytes the driver delivered belong to the reply, never the buffer's padding.
        const auto delivered = static_cast<std::size_t>(std::clamp<int32_t>(link.ibcntl, 0, ReadChunk));
        reply.commit(delivered);
        ++chunks;
        if (progress) progress(reply.size(), reply.head());
        if (link.ibsta & END) break;
        if ((link.ibsta & ERR) || delivered == 0) {
            // An error without timeout or end, or a read that brought nothing and no status: the
            // device will not finish this reply, and asking again would not progress.
            failed = true;
            break;
        }
    }
    link.ibtmo(ud, savedTimeout);

    if (cancelled) {
        // The rest of the reply is dropped at the device (a scope's hard copy stops), so the next
        // command finds it ready and nothing of this reply in the way. No box: the user asked.
        link.setLastReadFailed(true);
        link.ibclr(ud);
        return {};
    }
    if (failed) {
        readFailed(link);
        return {};
    }
    std::string text = reply.take();
    if (mode == ReadMode::Text) cleanReplyText(text);
    return text;
}

std::string QueryDevice(InstrumentLink& link, int16_t ud, const std::string& command, ReadMode mode,
                        const ReadProgress& progress) {
    link.setLastReadFailed(false);
    if (ud == 0) DeviceNotConfigured(link);
    WriteCommand(link, ud, command);
    Delay(link, 0.1f);
    if (link.GpibErrorFlag == 0) return ReadResponse(link, ud, mode, progress);
    return {};
}

void Delay(InstrumentLink& link, float seconds) {
    // A monotonic clock: the wait ends after the given time, midnight or not.
    const auto start = link.clock().now();
    const auto wait = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    const auto slice = std::chrono::duration_cast<Clock::duration>(std::chrono::milliseconds(5));
    for (auto now = link.clock().now(); start + wait > now; now = link.clock().now()) {
        link.desktop().processEvents();
        link.clock().sleepFor(std::min(slice, start + wait - link.clock().now()));
    }
}

void DeviceNotConfigured(InstrumentLink& link) {
    link.desktop().messageBox("Device not configured.\n\nCorrect problem and restart.", MbCritical | MbOk,
                              "Device Error");
    link.desktop().endProgram(FatalReason::DeviceNotConfigured);
    std::abort(); // endProgram does not come back
}

} // namespace vellumix::gpib
