#include "gpib/errorreport.h"

#include <array>
#include <cstdlib>
#include <cstring>

namespace vellumix::gpib {

void ReportGpibError(InstrumentLink& link) {
    if ((link.ibsta & ERR) == 0) return;
    std::string prompt = errorText(link.iberr);
    // The bus's own account of the failure, where it has one, follows the error's text; before
    // it when the error is the catch-all "Operating system error.", which says nothing of the cause.
    if (const std::string detail = link.failureDetail(); !detail.empty())
        prompt = link.iberr == EDVR ? detail + "\n(" + prompt + ")" : prompt + "\n" + detail;
    prompt += "\nSelect OK to continue or Cancel to terminate program.";
    const std::string title = "GPIB ERROR #" + numberText(link.iberr);
    if (link.desktop().messageBox(prompt, MbExclamation | MbOkCancel, title) == MsgAnswer::Cancel)
        link.desktop().endProgram(FatalReason::GpibErrorCancelled);
    link.GpibErrorFlag = -1;
}

std::string numberText(long value) {
    return (value >= 0 ? " " : "") + std::to_string(value);
}

void DriverUnusable(InstrumentLink& link) {
    link.desktop().messageBox("The GPIB driver does not report the status of its calls: registering the "
                              "status words failed (code" +
                                  numberText(link.lastRegisterCode()) + ").\n\nCorrect problem and restart.",
                              MbCritical | MbOk, "GPIB Driver Error");
    link.desktop().endProgram(FatalReason::DriverUnusable);
    std::abort(); // endProgram does not come back
}

std::string driverErrorText(const InstrumentLink& link) {
    const int code = link.iberr;
    std::string text = "the driver reports error " + std::to_string(code);
    if (*errorName(code)) text += std::string(" (") + errorName(code) + ")";
    text += std::string(": ") + errorText(code);
    // After these two the count is the operating system's errno.
    if ((code == EDVR || code == EFSO) && link.ibcntl > 0)
        text += " System error " + std::to_string(link.ibcntl) + ": " + std::strerror(link.ibcntl) + ".";
    return text;
}

} // namespace vellumix::gpib
