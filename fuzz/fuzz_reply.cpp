// A reply as the scope sends it: the text clean-up, then identification and the model table.
#include "capture/models.h"
#include "gpib/exchange.h"

#include <cstddef>
#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::string reply(reinterpret_cast<const char*>(data), size);
    vellumix::gpib::cleanReplyText(reply);
    if (reply.size() > size) __builtin_trap();
    const auto id = vellumix::capture::identifyReply(reply);
    if (id.capabilities) {
        if (id.capabilities->mask.size() != 7) __builtin_trap();
        for (int i = 0; i < 6; ++i)
            (void)id.capabilities->offersFormat(i);
        (void)id.capabilities->offersInkSaver();
    } else if (id.modelFound) {
        (void)vellumix::capture::unsupportedModelText(id.model);
    }
    (void)vellumix::capture::modelNumberOf(reply);
    return 0;
}
