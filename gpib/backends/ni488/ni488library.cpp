#include "gpib/backends/ni488/ni488library.h"

#include <cstddef>

#ifdef _WIN32
#define VX_GPIB_CALL __stdcall
#else
#define VX_GPIB_CALL
#endif

namespace vellumix::gpib::ni488 {

namespace {

// --- The libraries' own prototypes ---
// NI declares its results unsigned long (unsigned int since 3.2); reading them as unsigned int is
// right for both, since only the low 32 bits are defined for an unsigned int result.
extern "C" {
using VoidIntFn = void(VX_GPIB_CALL*)(int);
using IntFn = int(VX_GPIB_CALL*)();
using LongFn = long(VX_GPIB_CALL*)();
using UIntFn = unsigned int(VX_GPIB_CALL*)();
using DevFn = int(VX_GPIB_CALL*)(int, int, int, int, int, int);
using RegisterFn = int(VX_GPIB_CALL*)(int*, int*, int*, long*);

using IntUdFn = int(VX_GPIB_CALL*)(int);
using IntUdIntFn = int(VX_GPIB_CALL*)(int, int);
using IntRspFn = int(VX_GPIB_CALL*)(int, char*);
using IntAskFn = int(VX_GPIB_CALL*)(int, int, int*);
using IntWrtFn = int(VX_GPIB_CALL*)(int, const void*, long);
using IntRdFn = int(VX_GPIB_CALL*)(int, void*, long);
using IntFindFn = void(VX_GPIB_CALL*)(int, const uint16_t*, uint16_t*, int);

using UUdFn = unsigned int(VX_GPIB_CALL*)(int);
using UUdIntFn = unsigned int(VX_GPIB_CALL*)(int, int);
using UConfigFn = unsigned int(VX_GPIB_CALL*)(int, int, int);
using URspFn = unsigned int(VX_GPIB_CALL*)(int, char*);
using UAskFn = unsigned int(VX_GPIB_CALL*)(int, int, int*);
using UWrtFn = unsigned int(VX_GPIB_CALL*)(int, const void*, size_t);
using URdFn = unsigned int(VX_GPIB_CALL*)(int, void*, size_t);
using UFindFn = void(VX_GPIB_CALL*)(int, const short*, short*, size_t);
}

// ibconfig options standing in for the functions the NI4882 API has only as macros.
constexpr int IbcPAD = 0x1;
constexpr int IbcTMO = 0x3;
constexpr int IbcSRE = 0x0B;

int32_t word(unsigned int v) {
    return static_cast<int32_t>(v);
}

// Looks symbols up with their prototypes and notes the required ones that are missing.
class Binder {
public:
    Binder(const SharedLibrary& shared, std::vector<std::string>& missing)
        : shared_(shared), missing_(missing) {}
    template <typename F> F get(const char* name, bool required = true) {
        void* p = shared_.symbol(name);
        if (!p && required) missing_.emplace_back(name);
        return reinterpret_cast<F>(p);
    }

private:
    const SharedLibrary& shared_;
    std::vector<std::string>& missing_;
};

// ibpad/ibtmo/ibsre are functions, counts are long, results int (linux-gpib, NI legacy, gpib-32).
void resolveFunctions(Binder bind, LibraryCalls& c) {
    const auto sre = bind.get<IntUdIntFn>("ibsre");
    const auto find = bind.get<IntFindFn>("FindLstn");
    const auto pad = bind.get<IntUdIntFn>("ibpad");
    const auto clr = bind.get<IntUdFn>("ibclr");
    const auto rsp = bind.get<IntRspFn>("ibrsp");
    const auto wrt = bind.get<IntWrtFn>("ibwrt");
    const auto rd = bind.get<IntRdFn>("ibrd");
    const auto wait = bind.get<IntUdIntFn>("ibwait");
    const auto tmo = bind.get<IntUdIntFn>("ibtmo");
    const auto ask = bind.get<IntAskFn>("ibask");
    const auto sta = bind.get<IntFn>("ThreadIbsta");
    const auto err = bind.get<IntFn>("ThreadIberr");
    // The long count where there is one; older libraries have only the int one.
    const auto cntl = bind.get<LongFn>("ThreadIbcntl", false);
    const auto cnt = bind.get<IntFn>("ThreadIbcnt", cntl == nullptr);

    c.ibsre = [sre](int b, int v) { return sre(b, v); };
    c.FindLstn = [find](int b, const uint16_t* list, uint16_t* results, int32_t limit) {
        find(b, list, results, limit);
    };
    c.ibpad = [pad](int ud, int v) { return pad(ud, v); };
    c.ibclr = [clr](int ud) { return clr(ud); };
    c.ibrsp = [rsp](int ud, char* spr) { return rsp(ud, spr); };
    c.ibwrt = [wrt](int ud, const char* buf, int32_t n) { return wrt(ud, buf, static_cast<long>(n)); };
    c.ibrd = [rd](int ud, char* buf, int32_t n) { return rd(ud, buf, static_cast<long>(n)); };
    c.ibwait = [wait](int ud, int mask) { return wait(ud, mask); };
    c.ibtmo = [tmo](int ud, int code) { return tmo(ud, code); };
    c.ibask = [ask](int ud, int option, int* v) { return ask(ud, option, v); };
    c.threadIbsta = [sta] { return sta(); };
    c.threadIberr = [err] { return err(); };
    if (cntl)
        c.threadIbcntl = [cntl] { return static_cast<int32_t>(cntl()); };
    else
        c.threadIbcntl = [cnt] { return cnt(); };
}

// ibpad/ibtmo/ibsre are ibconfig options, counts size_t, results unsigned (NI4882 API).
void resolveNi4882(Binder bind, LibraryCalls& c) {
    const auto config = bind.get<UConfigFn>("ibconfig");
    const auto find = bind.get<UFindFn>("FindLstn");
    const auto clr = bind.get<UUdFn>("ibclr");
    const auto rsp = bind.get<URspFn>("ibrsp");
    const auto wrt = bind.get<UWrtFn>("ibwrt");
    const auto rd = bind.get<URdFn>("ibrd");
    const auto wait = bind.get<UUdIntFn>("ibwait");
    const auto ask = bind.get<UAskFn>("ibask");
    const auto sta = bind.get<UIntFn>("ThreadIbsta");
    const auto err = bind.get<UIntFn>("ThreadIberr");
    // ThreadIbcntl is a macro for this one in ni4882.h.
    const auto cnt = bind.get<UIntFn>("ThreadIbcnt");

    c.ibsre = [config](int b, int v) { return word(config(b, IbcSRE, v)); };
    c.ibpad = [config](int ud, int v) { return word(config(ud, IbcPAD, v)); };
    c.ibtmo = [config](int ud, int code) { return word(config(ud, IbcTMO, code)); };
    c.FindLstn = [find](int b, const uint16_t* list, uint16_t* results, int32_t limit) {
        // NI's Addr4882_t is short: the same bits, read through the signed type of the same size.
        static_assert(sizeof(short) == sizeof(uint16_t));
        find(b, reinterpret_cast<const short*>(list), reinterpret_cast<short*>(results),
             static_cast<size_t>(limit));
    };
    c.ibclr = [clr](int ud) { return word(clr(ud)); };
    c.ibrsp = [rsp](int ud, char* spr) { return word(rsp(ud, spr)); };
    c.ibwrt = [wrt](int ud, const char* buf, int32_t n) {
        return word(wrt(ud, buf, static_cast<size_t>(n)));
    };
    c.ibrd = [rd](int ud, char* buf, int32_t n) { return word(rd(ud, buf, static_cast<size_t>(n))); };
    c.ibwait = [wait](int ud, int mask) { return word(wait(ud, mask)); };
    c.ibask = [ask](int ud, int option, int* v) { return word(ask(ud, option, v)); };
    c.threadIbsta = [sta] { return word(sta()); };
    c.threadIberr = [err] { return word(err()); };
    c.threadIbcntl = [cnt] { return word(cnt()); };
}

} // namespace

void Ni488Driver::Library::resolve() {
    family = shared.symbol("gpib_error_string") ? LibraryFamily::LinuxGpib : LibraryFamily::Ni;
    Binder bind(shared, missing);
    const auto ifc = bind.get<VoidIntFn>("SendIFC");
    const auto dev = bind.get<DevFn>("ibdev");
    call.SendIFC = [ifc](int b) { ifc(b); };
    call.ibdev = [dev](int b, int pad, int sad, int tmo, int eot, int eos) {
        return dev(b, pad, sad, tmo, eot, eos);
    };
    const auto reg = bind.get<RegisterFn>("RegisterGpibGlobalsForThread", false);
    const auto unreg = bind.get<IntFn>("UnregisterGpibGlobalsForThread", false);
    // Half a registration pair is no registration.
    if (reg && unreg) {
        call.registerGlobals = [reg](int* sta, int* err, int* cnt, long* cntl) {
            return reg(sta, err, cnt, cntl);
        };
        call.unregisterGlobals = [unreg] { return unreg(); };
    }

    // linux-gpib exports ibconfig as well, so the presence of ibtmo decides.
    api = shared.symbol("ibtmo") || !shared.symbol("ibconfig") ? LibraryApi::Functions : LibraryApi::Ni4882;
    if (api == LibraryApi::Functions)
        resolveFunctions(bind, call);
    else
        resolveNi4882(bind, call);
}

} // namespace vellumix::gpib::ni488
