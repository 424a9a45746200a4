#pragma once
// The GPIB driver as the instrument link sees it: one virtual per driver operation, with the
// driver's own names, arguments and raw 32-bit results. Backends: a library loaded at run time,
// the simulated bus, and recording fakes in the tests.
#include <cstdint>
#include <string>

namespace vellumix::gpib {

class GpibDriver {
public:
    virtual ~GpibDriver() = default;

    // Per-thread status registration. After a 0 (or 1) return the driver writes status, error and
    // count of every later call into the four caller-owned words. Return codes: 0 registered,
    // 1 already registered, 2 or 3 failure, anything else failure.
    virtual int32_t RegisterGpibGlobalsForThread(int32_t* ibsta, int32_t* iberr, int32_t* ibcnt,
                                                 int32_t* ibcntl) = 0;
    virtual int32_t UnregisterGpibGlobalsForThread() = 0;

    virtual void SendIFC(int32_t board) = 0;
    virtual int32_t ibsre(int32_t board, int32_t v) = 0;
    // addrList ends with NOADDR (0xFFFF); results get the found addresses from slot 0 on.
    virtual void FindLstn(int32_t board, const uint16_t* addrList, uint16_t* results, int32_t limit) = 0;
    virtual int32_t ibdev(int32_t board, int32_t pad, int32_t sad, int32_t tmo, int32_t eot, int32_t eos) = 0;
    virtual int32_t ibpad(int32_t ud, int32_t pad) = 0;
    virtual int32_t ibclr(int32_t ud) = 0;
    virtual int32_t ibrsp(int32_t ud, char* spr) = 0;
    virtual int32_t ibwrt(int32_t ud, const char* buf, int32_t count) = 0;
    virtual int32_t ibrd(int32_t ud, char* buf, int32_t count) = 0;
    virtual int32_t ibwait(int32_t ud, int32_t mask) = 0;
    virtual int32_t ibtmo(int32_t ud, int32_t code) = 0;
    virtual int32_t ibask(int32_t ud, int32_t option, int32_t* value) = 0;

    // What the bus adds to what the status words can say. The word the scope's hard copy port
    // must be set to for the picture to come back over this connection: a GPIB board and a GPIB
    // adapter get it over GPIB, a scope on its USB device port only over USB.
    virtual const char* hardCopyPort() const { return "GPIB"; }
    // Why the last failed call failed, in the user's words, when the bus knows more than the
    // error code tells (a device node that vanished, a scope that stopped sending). Empty otherwise.
    virtual std::string failureDetail() const { return {}; }

    // Cancelling a transfer. cancel() may be called from any thread, and from a signal handler: it
    // makes the blocking call in progress, and every later one until clearCancel(), return soon
    // (ERR, EABO) instead of waiting out its timeout. The exchange checks for a cancel between the
    // pieces of a reply on its own, so a driver that cannot interrupt a call keeps the default.
    virtual void cancel() {}
    virtual void clearCancel() {}
};

// Status, error code and count of one driver call, as a driver publishes them.
struct CallStatus {
    int32_t sta = 0;
    int32_t err = 0;
    int32_t cnt = 0;
};

// Helper base for driver substitutes (simulated bus, stubs): keeps the registered words and
// publishes the status of each call into them, as a registering driver does.
class RegisteringDriver : public GpibDriver {
public:
    int32_t RegisterGpibGlobalsForThread(int32_t* sta, int32_t* err, int32_t* cnt, int32_t* cntl) override {
        if (registerReturnCode_ != 0 && registerReturnCode_ != 1) return registerReturnCode_;
        const bool already = sta_ != nullptr;
        sta_ = sta;
        err_ = err;
        cnt_ = cnt;
        cntl_ = cntl;
        return already ? 1 : 0;
    }
    int32_t UnregisterGpibGlobalsForThread() override {
        sta_ = err_ = cnt_ = cntl_ = nullptr;
        return 0;
    }
    // A registration fault to inject: the code RegisterGpibGlobalsForThread returns (0 = none).
    void setRegisterReturnCode(int32_t code) { registerReturnCode_ = code; }

protected:
    // Publishes one call's result; returns the status, as the ib* functions do.
    int32_t publish(int32_t sta, int32_t err, int32_t cnt) {
        if (sta_) {
            *sta_ = sta;
            *err_ = err;
            *cnt_ = cnt;
            *cntl_ = cnt;
        }
        return sta;
    }
    int32_t publish(const CallStatus& s) { return publish(s.sta, s.err, s.cnt); }

private:
    int32_t* sta_ = nullptr;
    int32_t* err_ = nullptr;
    int32_t* cnt_ = nullptr;
    int32_t* cntl_ = nullptr;
    int32_t registerReturnCode_ = 0;
};

} // namespace vellumix::gpib
