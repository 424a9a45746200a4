#include "gpib/backends/ni488/ni488driver.h"

#include "gpib/status.h"

#include <cstddef>
#include <utility>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#define VX_GPIB_CALL __stdcall
#else
#include <dlfcn.h>
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

using IntUdFn = int(VX_GPIB_CALL*)(int);
using IntUdIntFn = int(VX_GPIB_CALL*)(int, int);
using IntRspFn = int(VX_GPIB_CALL*)(int, char*);
using IntAskFn = int(VX_GPIB_CALL*)(int, int, int*);
using IntWrtFn = int(VX_GPIB_CALL*)(int, const void*, long);
using IntRdFn = int(VX_GPIB_CALL*)(int, void*, long);
using IntFindFn = void(VX_GPIB_CALL*)(int, const uint16_t*, uint16_t*, int);
using RegisterFn = int(VX_GPIB_CALL*)(int*, int*, int*, long*);

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

class SharedLibrary {
public:
    SharedLibrary() = default;
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;
    ~SharedLibrary() {
#ifdef _WIN32
        if (handle_) FreeLibrary(static_cast<HMODULE>(handle_));
#else
        if (handle_) dlclose(handle_);
#endif
    }

    bool open(const std::string& path, std::string& error) {
#ifdef _WIN32
        handle_ = LoadLibraryA(path.c_str());
        if (!handle_) {
            const DWORD code = GetLastError();
            char text[512] = {};
            FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                           sizeof text, nullptr);
            error = text[0] ? std::string(text) : "error " + std::to_string(code);
            while (!error.empty() && (error.back() == '\n' || error.back() == '\r'))
                error.pop_back();
        }
#else
        dlerror();
        handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) {
            const char* why = dlerror();
            error = why ? why : "cannot be opened";
        }
#endif
        return handle_ != nullptr;
    }

    void* symbol(const char* name) const {
#ifdef _WIN32
        return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
        return dlsym(handle_, name);
#endif
    }

private:
    void* handle_ = nullptr;
};

} // namespace

struct Ni488Driver::Library {
    SharedLibrary shared;
    LibraryApi api = LibraryApi::Functions;
    LibraryFamily family = LibraryFamily::Ni;

    // Both families.
    VoidIntFn SendIFC = nullptr;
    DevFn ibdev = nullptr;
    RegisterFn Register = nullptr;
    IntFn Unregister = nullptr;

    struct {
        IntUdIntFn ibsre = nullptr, ibpad = nullptr, ibtmo = nullptr, ibwait = nullptr;
        IntFindFn FindLstn = nullptr;
        IntUdFn ibclr = nullptr;
        IntRspFn ibrsp = nullptr;
        IntWrtFn ibwrt = nullptr;
        IntRdFn ibrd = nullptr;
        IntAskFn ibask = nullptr;
        IntFn ThreadIbsta = nullptr, ThreadIberr = nullptr, ThreadIbcnt = nullptr;
        LongFn ThreadIbcntl = nullptr;
    } fn;

    struct {
        UConfigFn ibconfig = nullptr;
        UFindFn FindLstn = nullptr;
        UUdFn ibclr = nullptr;
        URspFn ibrsp = nullptr;
        UWrtFn ibwrt = nullptr;
        URdFn ibrd = nullptr;
        UUdIntFn ibwait = nullptr;
        UAskFn ibask = nullptr;
        UIntFn ThreadIbsta = nullptr, ThreadIberr = nullptr, ThreadIbcnt = nullptr;
    } ni;

    std::vector<std::string> missing;

    template <typename F> void bind(F& slot, const char* name, bool required = true) {
        void* p = shared.symbol(name);
        slot = reinterpret_cast<F>(p);
        if (!p && required) missing.emplace_back(name);
    }

    void resolve() {
        family = shared.symbol("gpib_error_string") ? LibraryFamily::LinuxGpib : LibraryFamily::Ni;
        bind(SendIFC, "SendIFC");
        bind(ibdev, "ibdev");
        bind(Register, "RegisterGpibGlobalsForThread", false);
        bind(Unregister, "UnregisterGpibGlobalsForThread", false);
        // Half a registration pair is no registration.
        if (!Register || !Unregister) {
            Register = nullptr;
            Unregister = nullptr;
        }

        // linux-gpib exports ibconfig as well, so the presence of ibtmo decides.
        if (shared.symbol("ibtmo") || !shared.symbol("ibconfig")) {
            api = LibraryApi::Functions;
            bind(fn.ibsre, "ibsre");
            bind(fn.FindLstn, "FindLstn");
            bind(fn.ibpad, "ibpad");
            bind(fn.ibclr, "ibclr");
            bind(fn.ibrsp, "ibrsp");
            bind(fn.ibwrt, "ibwrt");
            bind(fn.ibrd, "ibrd");
            bind(fn.ibwait, "ibwait");
            bind(fn.ibtmo, "ibtmo");
            bind(fn.ibask, "ibask");
            bind(fn.ThreadIbsta, "ThreadIbsta");
            bind(fn.ThreadIberr, "ThreadIberr");
            // The long count where there is one; older libraries have only the int one.
            bind(fn.ThreadIbcntl, "ThreadIbcntl", false);
            bind(fn.ThreadIbcnt, "ThreadIbcnt", fn.ThreadIbcntl == nullptr);
        } else {
            api = LibraryApi::Ni4882;
            bind(ni.ibconfig, "ibconfig");
            bind(ni.FindLstn, "FindLstn");
            bind(ni.ibclr, "ibclr");
            bind(ni.ibrsp, "ibrsp");
            bind(ni.ibwrt, "ibwrt");
            bind(ni.ibrd, "ibrd");
            bind(ni.ibwait, "ibwait");
            bind(ni.ibask, "ibask");
            bind(ni.ThreadIbsta, "ThreadIbsta");
            bind(ni.ThreadIberr, "ThreadIberr");
            // ThreadIbcntl is a macro for this one in ni4882.h.
            bind(ni.ThreadIbcnt, "ThreadIbcnt");
        }
    }
};

std::unique_ptr<Ni488Driver> Ni488Driver::load(const std::string& path, int board, std::string& error) {
    auto lib = std::make_unique<Library>();
    if (!lib->shared.open(path, error)) return nullptr;
    lib->resolve();
    if (!lib->missing.empty()) {
        error = "does not export ";
        for (size_t i = 0; i < lib->missing.size(); ++i) {
            if (i > 0) error += ", ";
            error += lib->missing[i];
        }
        error += lib->missing.size() == 1 ? " (a required symbol)" : " (required symbols)";
        return nullptr;
    }
    return std::unique_ptr<Ni488Driver>(new Ni488Driver(std::move(lib), path, board));
}

Ni488Driver::Ni488Driver(std::unique_ptr<Library> lib, std::string path, int board)
    : lib_(std::move(lib)), path_(std::move(path)), board_(board) {}

Ni488Driver::~Ni488Driver() = default;

LibraryApi Ni488Driver::api() const {
    return lib_->api;
}

LibraryFamily Ni488Driver::family() const {
    return lib_->family;
}

bool Ni488Driver::registersNatively() const {
    return lib_->Register != nullptr;
}

// --- Status ---

int32_t Ni488Driver::RegisterGpibGlobalsForThread(int32_t* ibsta, int32_t* iberr, int32_t* ibcnt,
                                                  int32_t* ibcntl) {
    // Code 3 is a failure the caller already handles; a null word would crash the first call.
    if (!ibsta || !iberr || !ibcnt || !ibcntl) return 3;
    sta_ = ibsta;
    err_ = iberr;
    cnt_ = ibcnt;
    cntl_ = ibcntl;
    if (!lib_->Register) return 0;

    static_assert(sizeof(int) == sizeof(int32_t));
    const int code = lib_->Register(reinterpret_cast<int*>(ibsta), reinterpret_cast<int*>(iberr),
                                    reinterpret_cast<int*>(ibcnt), &nativeCntl_);
    nativeRegistered_ = code == 0 || code == 1;
    if (!nativeRegistered_) sta_ = err_ = cnt_ = cntl_ = nullptr;
    return code;
}

int32_t Ni488Driver::UnregisterGpibGlobalsForThread() {
    sta_ = err_ = cnt_ = cntl_ = nullptr;
    if (!lib_->Register) return 0;
    nativeRegistered_ = false;
    return lib_->Unregister();
}

void Ni488Driver::publishStatus() {
    if (!sta_) return;
    if (nativeRegistered_) {
        *cntl_ = static_cast<int32_t>(nativeCntl_);
        return;
    }
    // The per-thread values: the process globals go stale when ibdev fails early on linux-gpib.
    int32_t sta = 0, err = 0, cntl = 0;
    if (lib_->api == LibraryApi::Functions) {
        sta = lib_->fn.ThreadIbsta();
        err = lib_->fn.ThreadIberr();
        cntl = lib_->fn.ThreadIbcntl ? static_cast<int32_t>(lib_->fn.ThreadIbcntl()) : lib_->fn.ThreadIbcnt();
    } else {
        sta = static_cast<int32_t>(lib_->ni.ThreadIbsta());
        err = static_cast<int32_t>(lib_->ni.ThreadIberr());
        cntl = static_cast<int32_t>(lib_->ni.ThreadIbcnt());
    }
    *sta_ = sta;
    *err_ = err;
    *cnt_ = cntl;
    *cntl_ = cntl;
}

int32_t Ni488Driver::rejectArguments() {
    const int32_t sta = static_cast<uint16_t>(ERR);
    if (sta_) {
        *sta_ = sta;
        *err_ = EARG;
        *cnt_ = 0;
        *cntl_ = 0;
    }
    return sta;
}

BoardAnswer Ni488Driver::askInterface(int index) {
    constexpr int IbaPAD = 0x1;
    int value = 0;
    BoardAnswer a;
    if (lib_->api == LibraryApi::Functions) {
        a.ibsta = lib_->fn.ibask(index, IbaPAD, &value);
        a.iberr = nativeRegistered_ && err_ ? *err_ : lib_->fn.ThreadIberr();
    } else {
        a.ibsta = static_cast<int32_t>(lib_->ni.ibask(index, IbaPAD, &value));
        a.iberr = static_cast<int32_t>(lib_->ni.ThreadIberr());
    }
    if (nativeRegistered_ && cntl_) {
        a.ibcntl = static_cast<int32_t>(nativeCntl_);
    } else if (lib_->api == LibraryApi::Functions) {
        a.ibcntl =
            lib_->fn.ThreadIbcntl ? static_cast<int32_t>(lib_->fn.ThreadIbcntl()) : lib_->fn.ThreadIbcnt();
    } else {
        a.ibcntl = static_cast<int32_t>(lib_->ni.ThreadIbcnt());
    }
    publishStatus();
    return a;
}

// --- Board level: the program's board 0 is the interface chosen by the bus URI ---

void Ni488Driver::SendIFC(int32_t board) {
    lib_->SendIFC(boardFor(board));
    publishStatus();
}

int32_t Ni488Driver::ibsre(int32_t board, int32_t v) {
    const int b = boardFor(board);
    const int32_t sta = lib_->api == LibraryApi::Functions
                            ? lib_->fn.ibsre(b, v)
                            : static_cast<int32_t>(lib_->ni.ibconfig(b, IbcSRE, v));
    publishStatus();
    return sta;
}

void Ni488Driver::FindLstn(int32_t board, const uint16_t* addrList, uint16_t* results, int32_t limit) {
    if (!addrList || !results || limit < 0) {
        rejectArguments();
        return;
    }
    const int b = boardFor(board);
    if (lib_->api == LibraryApi::Functions) {
        lib_->fn.FindLstn(b, addrList, results, limit);
    } else {
        // NI's Addr4882_t is short: the same bits, read through the signed type of the same size.
        static_assert(sizeof(short) == sizeof(uint16_t));
        lib_->ni.FindLstn(b, reinterpret_cast<const short*>(addrList), reinterpret_cast<short*>(results),
                          static_cast<size_t>(limit));
    }
    publishStatus();
}

int32_t Ni488Driver::ibdev(int32_t board, int32_t pad, int32_t sad, int32_t tmo, int32_t eot, int32_t eos) {
    // linux-gpib's ibdev crashes on an address above 30 once its configuration is loaded.
    if (!validPrimaryAddress(pad) || !validSecondaryAddress(sad)) {
        rejectArguments();
        return -1;
    }
    // -1 is passed on: the status words already say why.
    const int32_t ud = lib_->ibdev(boardFor(board), pad, sad, tmo, eot, eos);
    publishStatus();
    return ud;
}

// --- Device level ---

int32_t Ni488Driver::ibpad(int32_t ud, int32_t pad) {
    if (!validPrimaryAddress(pad)) return rejectArguments();
    const int32_t sta = lib_->api == LibraryApi::Functions
                            ? lib_->fn.ibpad(ud, pad)
                            : static_cast<int32_t>(lib_->ni.ibconfig(ud, IbcPAD, pad));
    publishStatus();
    return sta;
}

int32_t Ni488Driver::ibclr(int32_t ud) {
    const int32_t sta =
        lib_->api == LibraryApi::Functions ? lib_->fn.ibclr(ud) : static_cast<int32_t>(lib_->ni.ibclr(ud));
    publishStatus();
    return sta;
}

int32_t Ni488Driver::ibrsp(int32_t ud, char* spr) {
    if (!spr) return rejectArguments();
    const int32_t sta = lib_->api == LibraryApi::Functions ? lib_->fn.ibrsp(ud, spr)
                                                           : static_cast<int32_t>(lib_->ni.ibrsp(ud, spr));
    publishStatus();
    return sta;
}

int32_t Ni488Driver::ibwrt(int32_t ud, const char* buf, int32_t count) {
    // A negative count would reach the library as a huge unsigned length.
    if (count < 0 || (count > 0 && !buf)) return rejectArguments();
    const int32_t sta = lib_->api == LibraryApi::Functions
                            ? lib_->fn.ibwrt(ud, buf, static_cast<long>(count))
                            : static_cast<int32_t>(lib_->ni.ibwrt(ud, buf, static_cast<size_t>(count)));
    publishStatus();
    return sta;
}

int32_t Ni488Driver::ibrd(int32_t ud, char* buf, int32_t count) {
    if (count < 0 || (count > 0 && !buf)) return rejectArguments();
    const int32_t sta = lib_->api == LibraryApi::Functions
                            ? lib_->fn.ibrd(ud, buf, static_cast<long>(count))
                            : static_cast<int32_t>(lib_->ni.ibrd(ud, buf, static_cast<size_t>(count)));
    publishStatus();
    return sta;
}

int32_t Ni488Driver::ibwait(int32_t ud, int32_t mask) {
    const int32_t sta = lib_->api == LibraryApi::Functions ? lib_->fn.ibwait(ud, mask)
                                                           : static_cast<int32_t>(lib_->ni.ibwait(ud, mask));
    publishStatus();
    return sta;
}

int32_t Ni488Driver::ibtmo(int32_t ud, int32_t code) {
    const int32_t sta = lib_->api == LibraryApi::Functions
                            ? lib_->fn.ibtmo(ud, code)
                            : static_cast<int32_t>(lib_->ni.ibconfig(ud, IbcTMO, code));
    publishStatus();
    return sta;
}

int32_t Ni488Driver::ibask(int32_t ud, int32_t option, int32_t* value) {
    if (!value) return rejectArguments();
    int v = *value;
    const int32_t sta = lib_->api == LibraryApi::Functions
                            ? lib_->fn.ibask(ud, option, &v)
                            : static_cast<int32_t>(lib_->ni.ibask(ud, option, &v));
    *value = v;
    publishStatus();
    return sta;
}

} // namespace vellumix::gpib::ni488
