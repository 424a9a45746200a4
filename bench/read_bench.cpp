// ReadResponse over the simulated bus without rate or latency: the read loop's own cost in time
// and heap. Peak memory is counted by the replaced global operator new/delete below.
#include "gpib/backends/sim/simbus.h"
#include "gpib/exchange.h"
#include "tests/support/fakes.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <new>

namespace {

std::atomic<std::size_t> liveBytes{0};
std::atomic<std::size_t> peakBytes{0};

// Each block carries its size in front, so delete knows what it gives back.
constexpr std::size_t Header = alignof(std::max_align_t);

void* allocate(std::size_t n) {
    void* raw = std::malloc(n + Header);
    if (!raw) return nullptr;
    *static_cast<std::size_t*>(raw) = n;
    const std::size_t now = liveBytes.fetch_add(n, std::memory_order_relaxed) + n;
    std::size_t peak = peakBytes.load(std::memory_order_relaxed);
    while (now > peak && !peakBytes.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
    return static_cast<char*>(raw) + Header;
}

void release(void* p) noexcept {
    if (!p) return;
    void* raw = static_cast<char*>(p) - Header;
    liveBytes.fetch_sub(*static_cast<std::size_t*>(raw), std::memory_order_relaxed);
    std::free(raw);
}

} // namespace

void* operator new(std::size_t n) {
    if (void* p = allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
    if (void* p = allocate(n)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
    return allocate(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
    return allocate(n);
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, std::size_t) noexcept {
    release(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    release(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
    release(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
    release(p);
}

namespace {

using namespace vellumix;

void BM_ReadResponse(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    gpib::VirtualClock clock;
    gpib::sim::Scenario scenario; // no rate, no latency: only the read path costs time
    scenario.addScope(1, "ID TEK/TDS 3054B,CF:91.1CT,FV:v3.41").hardcopy = gpib::sim::Payload::ofSize(size);
    auto bus = gpib::sim::createSimBus(std::move(scenario), clock);
    test::FakeDesktop desktop;
    gpib::InstrumentLink link(*bus, desktop, clock);
    int16_t ud = 0;
    link.ibdev(0, 1, 0, gpib::T3s, 1, 0, ud);

    // The simulated scope builds its picture once; that is the scope's memory, not the read's.
    // The first read of a link also allocates the blocks it collects replies in; later reads
    // re-use them. Its peak is reported apart.
    gpib::WriteCommand(link, ud, "HARDCOPY START");
    const std::size_t firstBaseline = liveBytes.load();
    peakBytes.store(firstBaseline);
    if (gpib::ReadResponse(link, ud, gpib::ReadMode::Raw).size() != size) {
        state.SkipWithError("the warm-up read did not bring the whole reply");
        return;
    }
    const std::size_t firstPeak = peakBytes.load() - firstBaseline;

    std::size_t worstPeak = 0;
    for (auto _ : state) {
        gpib::WriteCommand(link, ud, "HARDCOPY START");
        const std::size_t baseline = liveBytes.load();
        peakBytes.store(baseline);
        const auto start = std::chrono::steady_clock::now();
        std::string reply = gpib::ReadResponse(link, ud, gpib::ReadMode::Raw);
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        worstPeak = std::max(worstPeak, peakBytes.load() - baseline);
        benchmark::DoNotOptimize(reply.data());
        if (reply.size() != size) {
            state.SkipWithError("the reply came short");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
    state.counters["peak_bytes"] = static_cast<double>(worstPeak);
    state.counters["peak_ratio"] = static_cast<double>(worstPeak) / static_cast<double>(size);
    state.counters["first_read_peak_ratio"] = static_cast<double>(firstPeak) / static_cast<double>(size);
}

// The 16-bit chunk counter caps a reply at 32767 chunks of 512 bytes: the largest reply the link
// reads is 16 MiB - 512 B, and that is what the last size measures.
constexpr int64_t LargestReply = int64_t{gpib::MaxChunks} * gpib::ReadChunk;

BENCHMARK(BM_ReadResponse)
    ->Arg(64 << 10)
    ->Arg(1 << 20)
    ->Arg(LargestReply)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
