#include "gpib/backends/vxi11/rpc.h"

#include <algorithm>

namespace vellumix::gpib::vxi11 {

namespace {
constexpr uint32_t MessageCall = 0;
constexpr uint32_t MessageReply = 1;
constexpr uint32_t RpcVersion = 2;
constexpr uint32_t ReplyAccepted = 0;
constexpr uint32_t LastFragment = 0x80000000u;
constexpr std::size_t MaxAuthBody = 400;

std::size_t padded(std::size_t n) {
    return (n + 3) & ~std::size_t{3};
}
} // namespace

XdrWriter& XdrWriter::u32(uint32_t v) {
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
                       static_cast<char>(v)};
    out_.append(b, 4);
    return *this;
}

XdrWriter& XdrWriter::opaque(std::string_view bytes) {
    u32(static_cast<uint32_t>(bytes.size()));
    out_.append(bytes);
    out_.append(padded(bytes.size()) - bytes.size(), '\0');
    return *this;
}

uint32_t XdrReader::u32() {
    if (!ok_ || remaining() < 4) {
        ok_ = false;
        return 0;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(in_.data() + at_);
    at_ += 4;
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

std::string_view XdrReader::opaque(std::size_t limit) {
    const uint32_t n = u32();
    // The padding may be missing after the last item; the data itself may not.
    if (!ok_ || n > limit || n > remaining()) {
        ok_ = false;
        return {};
    }
    const std::string_view data = in_.substr(at_, n);
    at_ = std::min(in_.size(), at_ + padded(n));
    return data;
}

std::string encodeCall(uint32_t xid, uint32_t program, uint32_t version, uint32_t procedure,
                       std::string_view args) {
    XdrWriter w;
    w.u32(xid).u32(MessageCall).u32(RpcVersion).u32(program).u32(version).u32(procedure);
    w.u32(0).u32(0); // credentials: none
    w.u32(0).u32(0); // verifier: none
    std::string out = w.take();
    out.append(args);
    return out;
}

Reply decodeReply(std::string_view message) {
    Reply reply;
    XdrReader r(message);
    reply.xid = r.u32();
    if (r.u32() != MessageReply || !r.ok()) return reply;
    if (r.u32() != ReplyAccepted) {
        reply.status = r.ok() ? Reply::Status::Denied : Reply::Status::Malformed;
        return reply;
    }
    r.u32();               // verifier flavour
    r.opaque(MaxAuthBody); // verifier body
    const uint32_t accept = r.u32();
    if (!r.ok()) return reply;
    switch (accept) {
    case 0:
        reply.status = Reply::Status::Success;
        reply.results = message.substr(message.size() - r.remaining());
        break;
    case 1:
    case 2:
        reply.status = Reply::Status::ProgramUnavailable;
        break;
    case 3:
        reply.status = Reply::Status::ProcedureUnavailable;
        break;
    case 4:
        reply.status = Reply::Status::GarbageArguments;
        break;
    default:
        reply.status = Reply::Status::Malformed;
        break;
    }
    return reply;
}

std::optional<Call> decodeCall(std::string_view message) {
    XdrReader r(message);
    Call call;
    call.xid = r.u32();
    if (r.u32() != MessageCall || r.u32() != RpcVersion) return std::nullopt;
    call.program = r.u32();
    call.version = r.u32();
    call.procedure = r.u32();
    for (int i = 0; i < 2; ++i) { // credentials and verifier
        r.u32();
        r.opaque(MaxAuthBody);
    }
    if (!r.ok()) return std::nullopt;
    call.args = message.substr(message.size() - r.remaining());
    return call;
}

std::string encodeReply(uint32_t xid, std::string_view results, uint32_t acceptStatus) {
    XdrWriter w;
    w.u32(xid).u32(MessageReply).u32(ReplyAccepted).u32(0).u32(0).u32(acceptStatus);
    if (acceptStatus == 2) w.u32(Vxi11Version).u32(Vxi11Version);
    std::string out = w.take();
    if (acceptStatus == 0) out.append(results);
    return out;
}

std::string recordMark(std::string_view message, std::size_t maxFragment) {
    std::string out;
    do {
        const std::size_t n = std::min(message.size(), maxFragment);
        const bool last = n == message.size();
        XdrWriter w;
        w.u32(static_cast<uint32_t>(n) | (last ? LastFragment : 0));
        out += w.bytes();
        out.append(message.substr(0, n));
        message.remove_prefix(n);
    } while (!message.empty());
    return out;
}

RecordReader::Result RecordReader::next(std::string& record) {
    for (;;) {
        if (buffer_.size() < 4) return Result::Incomplete;
        XdrReader r(buffer_);
        const uint32_t header = r.u32();
        const std::size_t n = header & ~LastFragment;
        if (record_.size() + n > limit_) return Result::TooLarge;
        if (buffer_.size() < 4 + n) return Result::Incomplete;
        record_.append(buffer_, 4, n);
        buffer_.erase(0, 4 + n);
        if (header & LastFragment) {
            record = std::move(record_);
            record_.clear();
            return Result::Record;
        }
    }
}

} // namespace vellumix::gpib::vxi11
