#pragma once
// The real GPIB driver: an NI-488.2-compatible library (linux-gpib, NI-488.2, gpib-32) opened at run
// time, so that Vellumix builds and runs on machines without one.
#include "gpib/clock.h"
#include "gpib/driver.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace vellumix::gpib::ni488 {

// How the library declares its calls; told apart by what it exports.
enum class LibraryApi {
    // ibpad/ibtmo/ibsre are functions, counts are long, results int (linux-gpib, NI legacy, gpib-32).
    Functions,
    // ibpad/ibtmo/ibsre are ibconfig options, counts size_t, results unsigned (NI4882 API).
    Ni4882,
};

// Whose library it is: linux-gpib exports gpib_error_string, NI's libraries do not.
enum class LibraryFamily { LinuxGpib, Ni };

// Status and error of one call asked of the library outside the link's registered words.
struct BoardAnswer {
    int32_t ibsta = 0;
    int32_t iberr = 0;
    int32_t ibcntl = 0; // the errno after EDVR
};

class Ni488Driver final : public GpibDriver {
public:
    // Opens the library at path (a file name is looked up the system's way) and resolves every
    // symbol this backend calls. board: the interface that the program's board 0 stands for.
    // On failure returns nullptr and puts the reason (loader text or the missing symbols) into error.
    static std::unique_ptr<Ni488Driver> load(const std::string& path, int board, std::string& error);
    ~Ni488Driver() override;

    Ni488Driver(const Ni488Driver&) = delete;
    Ni488Driver& operator=(const Ni488Driver&) = delete;

    const std::string& path() const { return path_; }
    int board() const { return board_; }
    LibraryApi api() const;
    LibraryFamily family() const;
    // True when the library keeps the registered words itself (gpib-32's registration exports).
    bool registersNatively() const;

    // Asks interface index (not mapped to the URI's board) for its primary address: the call that
    // tells whether the library knows such a board (ENEB when it does not).
    BoardAnswer askInterface(int index);

    int32_t RegisterGpibGlobalsForThread(int32_t* ibsta, int32_t* iberr, int32_t* ibcnt,
                                         int32_t* ibcntl) override;
    int32_t UnregisterGpibGlobalsForThread() override;

    void SendIFC(int32_t board) override;
    int32_t ibsre(int32_t board, int32_t v) override;
    void FindLstn(int32_t board, const uint16_t* addrList, uint16_t* results, int32_t limit) override;
    int32_t ibdev(int32_t board, int32_t pad, int32_t sad, int32_t tmo, int32_t eot, int32_t eos) override;
    int32_t ibpad(int32_t ud, int32_t pad) override;
    int32_t ibclr(int32_t ud) override;
    int32_t ibrsp(int32_t ud, char* spr) override;
    int32_t ibwrt(int32_t ud, const char* buf, int32_t count) override;
    int32_t ibrd(int32_t ud, char* buf, int32_t count) override;
    int32_t ibwait(int32_t ud, int32_t mask) override;
    int32_t ibtmo(int32_t ud, int32_t code) override;
    int32_t ibask(int32_t ud, int32_t option, int32_t* value) override;

    // A board's library cannot interrupt a read from another thread; a read whose timeout is longer
    // than a second runs as a series of one-second reads instead (see ibrd), so a cancel ends it
    // within about a second, with ERR and EABO.
    void cancel() override { cancelled_.store(true); }
    // The link's clock: its idle() runs between those one-second reads (the window's events, a
    // cancel among them). None: nothing runs there.
    void setIdleClock(Clock* clock) { idleClock_ = clock; }
    void clearCancel() override { cancelled_.store(false); }
    // The reads a read of that timeout code is split into: 1 where it is not split, 0 for TNONE
    // (until bytes or a cancel come).
    static int64_t readSlices(int timeoutCode);

private:
    struct Library;
    Ni488Driver(std::unique_ptr<Library> lib, std::string path, int board);

    int boardFor(int32_t board) const { return board == 0 ? board_ : board; }
    // Copies the calling thread's status into the registered words, as a registering driver does.
    void publishStatus();
    // Refuses a call whose arguments would make the library read or write out of bounds.
    int32_t rejectArguments();
    // The status the library left for the calling thread's last call, and publishing one.
    CallStatus lastCall();
    void publish(const CallStatus& status);

    std::unique_ptr<Library> lib_;
    std::string path_;
    int board_ = 0;

    int32_t* sta_ = nullptr;
    int32_t* err_ = nullptr;
    int32_t* cnt_ = nullptr;
    int32_t* cntl_ = nullptr;
    // gpib-32 writes a long count; on LP64 that is wider than the caller's word, so it gets this one.
    long nativeCntl_ = 0;
    bool nativeRegistered_ = false;
    // Each device descriptor's timeout code as the program set it (ibdev, ibtmo).
    std::map<int32_t, int32_t> timeouts_;
    std::atomic<bool> cancelled_{false};
    Clock* idleClock_ = nullptr;
};

} // namespace vellumix::gpib::ni488
