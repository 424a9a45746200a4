#pragma once
// The driver library behind Ni488Driver: opened once, with the calls of whichever family it exports
// resolved into one table that takes and returns the backend's own types, so that each call is a
// direct one.
#include "gpib/backends/loader.h"
#include "gpib/backends/ni488/ni488driver.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace vellumix::gpib::ni488 {

struct LibraryCalls {
    std::function<void(int board)> SendIFC;
    std::function<int32_t(int board, int pad, int sad, int tmo, int eot, int eos)> ibdev;
    std::function<int32_t(int board, int v)> ibsre;
    std::function<void(int board, const uint16_t* list, uint16_t* results, int32_t limit)> FindLstn;
    std::function<int32_t(int ud, int pad)> ibpad;
    std::function<int32_t(int ud)> ibclr;
    std::function<int32_t(int ud, char* spr)> ibrsp;
    std::function<int32_t(int ud, const char* buf, int32_t count)> ibwrt;
    std::function<int32_t(int ud, char* buf, int32_t count)> ibrd;
    std::function<int32_t(int ud, int mask)> ibwait;
    std::function<int32_t(int ud, int code)> ibtmo;
    std::function<int32_t(int ud, int option, int* value)> ibask;
    // The calling thread's status, error and (long where there is one) count.
    std::function<int32_t()> threadIbsta, threadIberr, threadIbcntl;
    // gpib-32's registration pair: both or neither. The count word is the library's long.
    std::function<int(int* sta, int* err, int* cnt, long* cntl)> registerGlobals;
    std::function<int()> unregisterGlobals;
};

struct Ni488Driver::Library {
    SharedLibrary shared;
    LibraryApi api = LibraryApi::Functions;
    LibraryFamily family = LibraryFamily::Ni;
    LibraryCalls call;
    std::vector<std::string> missing; // required symbols the library does not export

    // Tells the family and API apart by the exports, and fills `call` (or `missing`).
    void resolve();
};

} // namespace vellumix::gpib::ni488
