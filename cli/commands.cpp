#include "cli/commands.h"

#include "capture/hardcopy.h"
#include "capture/identify.h"
#include "capture/models.h"
#include "capture/trigger.h"
#include "cli/exitstatus.h"
#include "cli/outputname.h"
#include "cli/progressbar.h"
#include "files/filerules.h"
#include "gpib/errorreport.h"
#include "gpib/exchange.h"
#include "gpib/status.h"
#include "picture/completeness.h"
#include "picture/pictureinfo.h"
#include "platform/text.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

namespace vellumix::cli {

namespace {

std::string offeredWords(const capture::Capabilities& caps) {
    std::string words;
    for (const auto& f : capture::Formats) {
        if (!caps.offersFormat(f.index)) continue;
        if (!words.empty()) words += ' ';
        words += f.formatWord;
    }
    return words;
}

} // namespace

bool Run::busIsEmpty() {
    // A driver may report an empty bus without an error (linux-gpib never sets EBUS): address 0
    // would then be the board itself, not an instrument.
    if (link_.Listeners.count() > 0) return false;
    fail("no instrument answered on " + busName_ + ": " + emptyBusHint_);
    return true;
}

std::string Run::driverError() const {
    return gpib::driverErrorText(link_);
}

void Run::explainEnd(FatalReason reason) {
    if (reason == FatalReason::NoListeners) {
        fail("no instrument answered on " + busName_);
    } else if (reason == FatalReason::ScanFailed) {
        fail("the bus scan on " + busName_ + " failed: " + driverError() + " See " + scanGuide_ + ".");
    }
}

int Run::scan() {
    scanBus();
    if (busIsEmpty()) return ExitScan;
    const int n = link_.Listeners.count();
    // One descriptor re-addressed to each listener, with the search's short timeout: a silent
    // instrument costs about a second per call that waits for it.
    int16_t ud = 0;
    link_.ibdev(0, link_.Listeners[1], 0, gpib::T1s, 1, 0, ud);
    if ((link_.ibsta & gpib::ERR) || ud <= 0) {
        fail("no device could be opened on " + busName_ + ": " + driverError());
        return ExitIo;
    }
    bool failed = false;
    for (int slot = 1; slot <= n; ++slot) {
        const int16_t address = link_.Listeners.address(slot);
        // Probed before anything is printed: a probe that ends the program leaves no half line.
        std::string failure;
        const std::string reply = probeId(ud, address, failure);
        ctx_.out << address << '\t' << reply << '\n';
        // The bus knows why the listener gave no reply (a lock, a refused reply): an empty line
        // alone would pass for an instrument that does not answer ID?.
        if (!failure.empty()) {
            ctx_.out << std::flush;
            fail("the listener at address " + std::to_string(address) + " did not answer ID?: " + failure);
            failed = true;
        }
    }
    const int status = finishOutput(ctx_);
    return status == ExitOk && failed ? ExitIo : status;
}

std::string Run::probeId(int16_t ud, int16_t address, std::string& failure) {
    link_.ibpad(ud, address);
    link_.ibclr(ud);
    link_.ibwrt(ud, "ID?");
    if (link_.ibsta & gpib::ERR) {
        failure = link_.failureDetail();
        return {};
    }
    // An identification is short; a talker that never ends is cut off rather than read forever.
    constexpr int MaxProbeChunks = 16;
    std::string reply;
    std::string buffer(gpib::ProbeChunk, ' ');
    for (int i = 0; i < MaxProbeChunks; ++i) {
        link_.ibrd(ud, buffer);
        // Without its status words the driver cannot say how much came or whether it ended.
        if (!link_.statusKnown()) gpib::DriverUnusable(link_);
        const auto got = static_cast<std::size_t>(std::clamp<int32_t>(link_.ibcntl, 0, gpib::ProbeChunk));
        reply.append(buffer, 0, got);
        // Nothing and no status bit: asking again would not bring more.
        if (got == 0 || (link_.ibsta & (gpib::END | gpib::ERR | gpib::TIMO))) break;
    }
    if (link_.ibsta & gpib::ERR) {
        // Silence is an instrument that does not answer ID? (common on a mixed bench), no failure;
        // a refusal or a lock is. Taken before the clear starts the account afresh.
        if (!(link_.ibsta & gpib::TIMO)) failure = link_.failureDetail();
        link_.ibclr(ud);
    }
    gpib::cleanReplyText(reply);
    return reply;
}

int Run::query(const Request& r) {
    scanBus();
    if (busIsEmpty()) return ExitScan;
    const int n = link_.Listeners.count();
    int16_t address = link_.Listeners[1];
    if (r.address) {
        const int16_t wanted = *r.address;
        address = 0;
        std::string found;
        for (int slot = 1; slot <= n; ++slot) {
            const int16_t a = link_.Listeners.address(slot);
            if (a == wanted) address = a;
            found += " " + std::to_string(a);
        }
        if (address == 0) {
            fail("no listener at GPIB address " + std::to_string(wanted) + "; listeners:" + found);
            return ExitNoInstrument;
        }
    }
    // Opened directly rather than through the ID search, so any instrument can be asked
    // anything, also one that does not answer ID?.
    int16_t ud = 0;
    link_.ibdev(0, address, 0, link_.DeviceTimeout, 1, 0, ud);
    if ((link_.ibsta & gpib::ERR) || ud <= 0) {
        fail("the instrument at GPIB address " + std::to_string(address) + " on " + busName_ +
             " could not be opened: " + driverError());
        return ExitIo;
    }
    const std::string reply = gpib::QueryDevice(link_, ud, r.text);
    if (link_.lastReadFailed() || link_.GpibErrorFlag) return ExitIo; // the link has said why
    ctx_.out << reply << '\n';
    return finishOutput(ctx_);
}

int Run::findScope(std::string expected, Scope& scope) {
    scanBus();
    if (busIsEmpty()) return ExitScan;
    std::string query = "ID?";
    const std::string asked = expected;
    scope.device = gpib::FindDeviceById(link_, query, expected);
    // Only a quiet search ("!" before the expected text) comes back without a device.
    if (scope.device == 0) {
        // A cancel ended the search: the run says "cancelled", not that nobody answered.
        if (link_.cancelRequested()) return ExitIo;
        fail("no instrument answered ID? with a reply matching \"" + asked + "\"");
        return ExitNoInstrument;
    }

    const capture::ScopeIdentity identity = capture::IdentifyScope(link_, scope.device);
    if (identity.queryFailed) return ExitIo;
    const capture::Identification& id = identity.id;
    scope.model = id.model;
    if (!id.capabilities) {
        desktop_.messageBox(latin1ToUtf8(capture::unsupportedModelText(id.model)), MbCritical | MbOk, "TDS");
        return ExitUnsupportedModel;
    }
    scope.caps = *id.capabilities;
    scope.address = identity.address;
    return ExitOk;
}

int Run::identify(const Request& r) {
    Scope scope;
    if (const int status = findScope(r.expect, scope); status != ExitOk) return status;
    ctx_.out << "Model: " << scope.model << '\n'
             << "Address: " << scope.address << '\n'
             << "Capabilities: " << scope.caps.mask << '\n'
             << "Formats: " << offeredWords(scope.caps) << '\n'
             << "Ink saver: " << (scope.caps.offersInkSaver() ? "yes" : "no") << '\n';
    return finishOutput(ctx_);
}

int Run::capture(const Request& r) {
    std::optional<capture::HardCopyFormat> format = r.format;
    const std::string& output = r.output;
    const bool inkSaver = r.inkSaver;

    Scope scope;
    if (const int status = findScope(r.expect, scope); status != ExitOk) return status;
    // Without --format, the output's extension says which picture is wanted: "-o x.png" must not
    // receive a BMP's bytes. Other names get the window's preselection.
    const capture::FormatOffered offered = [&](int i) { return scope.caps.offersFormat(i); };
    if (!format) {
        const std::optional<int> byName =
            output.empty() || output == "-" ? std::nullopt : capture::formatForExtension(output, offered);
        format =
            capture::Formats[static_cast<std::size_t>(byName.value_or(capture::preselectedFormat(offered)))];
    }
    if (!scope.caps.offersFormat(format->index)) {
        fail("the " + scope.model + " does not offer the format " + format->formatWord + "; it offers " +
             offeredWords(scope.caps));
        return ExitNotOffered;
    }
    if (inkSaver && !scope.caps.offersInkSaver()) {
        fail("the " + scope.model + " has no ink saver");
        return ExitNotOffered;
    }

    if (!r.onTrigger) return captureAll(r, scope, *format);
    // Captures on trigger leave the scope acquiring as it did before, also after a failure or a cancel.
    const std::optional<capture::AcquisitionSettings> saved = capture::queryAcquisition(link_, scope.device);
    if (!saved) {
        if (!link_.cancelRequested() && !link_.lastReadFailed() && link_.GpibErrorFlag == 0)
            fail("the " + scope.model +
                 " did not report its acquisition settings (ACQUIRE:STOPAFTER?, "
                 "ACQUIRE:STATE?)");
        return ExitIo;
    }
    // A cancel stopped the capture, not this: buses that refuse every call after a cancel (an
    // adapter, VXI-11) must take the commands that put the settings back. The run still ends as
    // cancelled (the signal is kept apart), and a second Ctrl+C still ends the tool at once.
    const auto restore = [&] {
        if (link_.cancelRequested()) link_.clearCancel();
        capture::restoreAcquisition(link_, scope.device, *saved);
    };
    int status = ExitIo;
    try {
        status = captureAll(r, scope, *format);
    } catch (const ProgramEnd&) {
        try {
            restore();
        } catch (const ProgramEnd&) {
        }
        throw;
    }
    restore();
    return status;
}

bool Run::pause(double seconds) {
    const auto end = ctx_.clock.now() + std::chrono::duration_cast<gpib::Clock::duration>(
                                            std::chrono::duration<double>(seconds));
    for (auto now = ctx_.clock.now(); now < end; now = ctx_.clock.now()) {
        if (link_.cancelRequested()) return false;
        ctx_.clock.sleepFor(std::min<gpib::Clock::duration>(end - now, std::chrono::milliseconds(50)));
    }
    return !link_.cancelRequested();
}

int Run::captureAll(const Request& r, const Scope& scope, const capture::HardCopyFormat& formatRef) {
    const capture::HardCopyFormat* format = &formatRef;
    const std::string& output = r.output;
    const long count = r.count;
    const bool inkSaver = r.inkSaver;
    // A repeat (several captures, or a name pattern) never replaces a file: a run started twice
    // must not overwrite the first run's pictures.
    const bool repeat = count > 1 || hasNamePattern(output);
    int counter = 0; // the last number a repeat's name used
    int result = ExitOk;
    for (long n = 1; n <= count; ++n) {
        // A cancel (SIGINT, SIGTERM) ends the run between captures too; runCli reports it.
        if (n > 1 && !pause(r.interval)) return ExitIo;
        if (r.onTrigger) {
            switch (capture::waitForTrigger(link_, scope.device, r.triggerTimeout)) {
            case capture::TriggerWait::Triggered:
                break;
            case capture::TriggerWait::TimedOut: {
                char seconds[32];
                std::snprintf(seconds, sizeof seconds, "%g", r.triggerTimeout.value_or(0));
                fail("no trigger came within " + std::string(seconds) +
                     " s; the acquisition settings are put back as they were");
                return ExitNoTrigger;
            }
            case capture::TriggerWait::Cancelled:
            case capture::TriggerWait::Failed:
                return ExitIo; // the link has said why, or the cancel will
            }
        }
        std::unique_ptr<ProgressBar> bar;
        if (ctx_.progress) bar = std::make_unique<ProgressBar>(ctx_.err, ctx_.clock);
        const auto progress = [&](std::size_t received, std::string_view head) {
            if (bar) bar->update(received, picture::expectedLength(head));
        };
        const std::string picture =
            capture::requestHardCopy(link_, scope.device, format->formatWord, inkSaver, {}, progress);
        if (bar) bar->finish();
        // Cancelled: nothing is written, not even a picture that was complete when the cancel came.
        if (link_.cancelRequested()) return ExitIo;
        if (picture.empty()) {
            if (!link_.lastReadFailed() && link_.GpibErrorFlag == 0)
                fail("the scope sent an empty hard copy");
            return ExitIo;
        }

        std::string target;
        const capture::HardCopyVerdict verdict = capture::judgeHardCopy(picture, format->kind);
        if (!verdict.good) {
            // Never in place of an earlier good file: the bytes go beside it, for inspection. A
            // stream still gets them; the status says what they are.
            std::string where;
            if (repeat) {
                const std::tm now = localTime();
                const std::string base =
                    output.empty() ? defaultPictureName(scope.model, now, format->fileExt) : output;
                std::string error;
                if (writeUnderFreeName(picture, base, now, count > 1, counter, true, target, error))
                    where = " (kept in " + target + ")";
                else
                    where = " (they could not be kept in " + target + ": " + error + ")";
            } else {
                target =
                    output.empty() ? defaultPictureName(scope.model, localTime(), format->fileExt) : output;
                if (target == "-") {
                    if (const int status = deliver(picture, target); status != ExitOk) return status;
                } else {
                    const std::string kept = capture::rejectedPath(target);
                    std::string error;
                    if (writeFileReplacing(kept, picture, error))
                        where = " (kept in " + kept + "; " + target + " is unchanged)";
                    else
                        where = " (they could not be kept in " + kept + ": " + error + ")";
                }
            }
            fail(verdict.problem + where);
            result = ExitIncompletePicture;
            continue;
        }
        if (repeat) {
            const std::tm now = localTime();
            const std::string base =
                output.empty() ? defaultPictureName(scope.model, now, format->fileExt) : output;
            if (const int status = deliverNew(picture, base, now, count > 1, counter, target);
                status != ExitOk)
                return status;
        } else {
            target = output.empty() ? defaultPictureName(scope.model, localTime(), format->fileExt) : output;
            if (const int status = deliver(picture, target); status != ExitOk) return status;
        }
        const picture::PictureCheck& check = verdict.check;
        const std::string where = target == "-" ? std::string() : " (" + target + ")";
        if (picture.size() > check.end) {
            // Kept: the file is what the scope sent. Said, because a strict viewer may choke on them.
            ctx_.err << Program << ": " << picture.size() - check.end
                     << " bytes came after the end of the picture and were kept" << where << '\n'
                     << std::flush;
        }
    }
    return result;
}

} // namespace vellumix::cli
