#pragma once
// ONC RPC as VXI-11 instruments speak it: XDR encoding, record marking on TCP, call and reply
// headers, and the numbers of the portmapper and of the instrument's core and abort channels.
// Written here rather than taken from libtirpc or liblxi: their calls wait on timeouts of their own
// (liblxi cuts every call at 25 s), read into buffers of a size fixed in advance, have no way to
// interrupt a call from another thread, and neither exists on Windows. Encoding is pure; the
// bytes travel over the sockets of socket.h, so a Winsock variant only replaces that file.
// The instrument simulator serves with the same encoder.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vellumix::gpib::vxi11 {

inline constexpr uint32_t PortmapperProgram = 100000;
inline constexpr uint32_t PortmapperVersion = 2;
inline constexpr uint32_t PortmapperGetPort = 3;
inline constexpr uint32_t ProtocolTcp = 6;
inline constexpr uint32_t ProtocolUdp = 17;
inline constexpr int PortmapperPort = 111;

inline constexpr uint32_t CoreProgram = 0x0607AF;
inline constexpr uint32_t AbortProgram = 0x0607B0;
inline constexpr uint32_t Vxi11Version = 1;

enum Procedure : uint32_t {
    DeviceAbort = 1, // on the abort channel
    CreateLink = 10,
    DeviceWrite = 11,
    DeviceRead = 12,
    DeviceReadStb = 13,
    DeviceClear = 15,
    DeviceLock = 18,
    DeviceUnlock = 19,
    DestroyLink = 23,
};

// Operation flags.
inline constexpr uint32_t FlagWaitLock = 0x01;
inline constexpr uint32_t FlagEnd = 0x08;
// Why a device_read returned.
inline constexpr uint32_t ReasonRequestCount = 0x01;
inline constexpr uint32_t ReasonTermChar = 0x02;
inline constexpr uint32_t ReasonEnd = 0x04;

// The device's error codes.
enum DeviceError : uint32_t {
    NoError = 0,
    SyntaxError = 1,
    DeviceNotAccessible = 3,
    InvalidLinkId = 4,
    ParameterError = 5,
    ChannelNotEstablished = 6,
    OperationNotSupported = 8,
    OutOfResources = 9,
    DeviceLocked = 11,
    NoLockHeld = 12,
    IoTimeout = 15,
    IoError = 17,
    InvalidAddress = 21,
    Aborted = 23,
};

// Big-endian 32-bit words, opaque data padded to four bytes.
class XdrWriter {
public:
    XdrWriter& u32(uint32_t v);
    XdrWriter& i32(int32_t v) { return u32(static_cast<uint32_t>(v)); }
    XdrWriter& opaque(std::string_view bytes); // length, bytes, padding
    const std::string& bytes() const { return out_; }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
};

// Reads what XdrWriter writes; once a read runs past the end every later one fails too, so a
// caller checks ok() once after decoding a whole structure. Bytes after it are left alone: some
// gateways pad a reply beyond its own length.
class XdrReader {
public:
    explicit XdrReader(std::string_view in) : in_(in) {}
    uint32_t u32();
    int32_t i32() { return static_cast<int32_t>(u32()); }
    // At most `limit` bytes; a longer length fails the reader.
    std::string_view opaque(std::size_t limit = SIZE_MAX);
    bool ok() const { return ok_; }
    std::size_t remaining() const { return in_.size() - at_; }

private:
    std::string_view in_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

// A call message with empty credentials; `args` is appended as it is.
std::string encodeCall(uint32_t xid, uint32_t program, uint32_t version, uint32_t procedure,
                       std::string_view args);

// One reply as the caller sees it.
struct Reply {
    enum class Status {
        Success,
        ProgramUnavailable, // also version mismatch: no such service there
        ProcedureUnavailable,
        GarbageArguments,
        Denied,    // version or authentication refused
        Malformed, // not an RPC reply at all
    };
    uint32_t xid = 0;
    Status status = Status::Malformed;
    std::string_view results; // what follows the header, on Success
};
// Reads a reply message (no record mark). results points into `message`.
Reply decodeReply(std::string_view message);

// A call as the server sees it.
struct Call {
    uint32_t xid = 0;
    uint32_t program = 0;
    uint32_t version = 0;
    uint32_t procedure = 0;
    std::string_view args;
};
std::optional<Call> decodeCall(std::string_view message);
// An accepted reply: accept_stat 0 (success) with results, or another accept_stat with none.
std::string encodeReply(uint32_t xid, std::string_view results, uint32_t acceptStatus = 0);
inline constexpr uint32_t AcceptProgramUnavailable = 1;
inline constexpr uint32_t AcceptProcedureUnavailable = 3;
inline constexpr uint32_t AcceptGarbageArguments = 4;

// Record marking on a stream: each record one or more fragments, each with a four-byte header
// (bit 31: last fragment, the rest: length).
std::string recordMark(std::string_view message, std::size_t maxFragment = 0x7FFFFFFF);

// Collects fragments from a stream until a record is complete. A record larger than `limit` is an
// error (a corrupt header would otherwise ask for gigabytes).
class RecordReader {
public:
    explicit RecordReader(std::size_t limit = 64u << 20) : limit_(limit) {}
    void feed(std::string_view bytes) { buffer_.append(bytes); }
    enum class Result { Incomplete, Record, TooLarge };
    // On Record moves the record's payload into `record`.
    Result next(std::string& record);
    void clear() {
        buffer_.clear();
        record_.clear();
    }

private:
    std::size_t limit_;
    std::string buffer_;
    std::string record_; // fragments of the record so far
};

} // namespace vellumix::gpib::vxi11
