#pragma once
// The test's side of a stub driver library: opens the same library the backend opened (the loader
// hands back the same instance) and reaches its stub_* control functions.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace vellumix::test {

class StubControl {
public:
#ifdef _WIN32
    explicit StubControl(const char* path) : handle_(LoadLibraryA(path)) {
        if (!handle_) throw std::runtime_error("cannot open stub: error " + std::to_string(GetLastError()));
        reset();
    }
    ~StubControl() {
        FreeLibrary(static_cast<HMODULE>(handle_));
    }
#else
    explicit StubControl(const char* path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
        if (!handle_) throw std::runtime_error(std::string("cannot open stub: ") + dlerror());
        reset();
    }
    ~StubControl() {
        dlclose(handle_);
    }
#endif
    StubControl(const StubControl&) = delete;
    StubControl& operator=(const StubControl&) = delete;

    void reset() {
        get<void (*)()>("stub_reset")();
    }
    void setStatus(int sta, int err, long cnt) {
        get<void (*)(int, int, long)>("stub_set_status")(sta, err, cnt);
    }
    void setReadData(const std::string& bytes) {
        get<void (*)(const void*, size_t)>("stub_set_read_data")(bytes.data(), bytes.size());
    }
    // The next n reads time out, each bringing bytesEach bytes of the read data first.
    void setSilentReads(int n, std::size_t bytesEach = 0) {
        get<void (*)(int, size_t)>("stub_set_silent_reads")(n, bytesEach);
    }
    void setListeners(const std::vector<uint16_t>& list) {
        get<void (*)(const uint16_t*, int)>("stub_set_listeners")(list.data(), static_cast<int>(list.size()));
    }
    void setIbdevResult(int ud) {
        get<void (*)(int)>("stub_set_ibdev_result")(ud);
    }
    void setPollByte(int v) {
        get<void (*)(int)>("stub_set_poll_byte")(v);
    }
    void setAskValue(int v) {
        get<void (*)(int)>("stub_set_ask_value")(v);
    }
    void setBoards(int mask) {
        get<void (*)(int)>("stub_set_boards")(mask);
    }
    // Fail as linux-gpib does without a board: IB_CONFIG and nodePrefix + N decide.
    void emulateLinuxGpib(const std::string& nodePrefix) {
        get<void (*)(const char*)>("stub_emulate_linux_gpib")(nodePrefix.c_str());
    }
    void refuseNode(int err) {
        get<void (*)(int)>("stub_refuse_node")(err);
    }
    // What is behind a GPIB node (major 160): no driver, a driver without a configured board, a board.
    enum Kernel { NoDriver = 0, NoBoard = 1, Board = 2 };
    void setKernel(Kernel k) {
        get<void (*)(int)>("stub_set_kernel")(k);
    }
    // The process-wide status copy, which linux-gpib leaves stale when ibdev fails early.
    int globalIberr() {
        return *static_cast<volatile int*>(symbol("iberr"));
    }
    void setRegisterCode(int code) {
        get<void (*)(int)>("stub_set_register_code")(code);
    }

    int calls() {
        return get<int (*)()>("stub_calls")();
    }
    std::string lastCall() {
        return get<const char* (*)()>("stub_last_call")();
    }
    long long arg(int i) {
        return get<long long (*)(int)>("stub_arg")(i);
    }
    std::vector<long long> args(int n) {
        std::vector<long long> a;
        for (int i = 0; i < n; ++i)
            a.push_back(arg(i));
        return a;
    }
    std::string written() {
        size_t len = 0;
        const unsigned char* p = get<const unsigned char* (*)(size_t*)>("stub_written")(&len);
        return std::string(reinterpret_cast<const char*>(p), len);
    }
    std::vector<uint16_t> addressList() {
        std::vector<uint16_t> out(64);
        const int n = get<int (*)(uint16_t*, int)>("stub_addr_list")(out.data(), 64);
        out.resize(static_cast<size_t>(n));
        return out;
    }

private:
    void* lookup(const char* name) {
#ifdef _WIN32
        return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
#else
        return dlsym(handle_, name);
#endif
    }
    void* symbol(const char* name) {
        void* p = lookup(name);
        if (!p) throw std::runtime_error(std::string("stub lacks ") + name);
        return p;
    }
    template <typename F> F get(const char* name) {
        void* p = lookup(name);
        if (!p) throw std::runtime_error(std::string("stub lacks ") + name);
        return reinterpret_cast<F>(p);
    }
    void* handle_;
};

} // namespace vellumix::test
