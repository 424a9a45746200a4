#pragma once
// The QApplication of a window test program. Include it in exactly one file of the program.
#include "tests/support/qtenv.h"

#include <QApplication>

namespace vellumix::test {

[[maybe_unused]] inline ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtEnvironment<QApplication>);

} // namespace vellumix::test
