#pragma once
// One QApplication for a whole window test program, destroyed at the end so that leak checking
// sees a clean exit. Include it in exactly one file of the program.
#include <QApplication>

#include <gtest/gtest.h>

#include <memory>

namespace vellumix::test {

class QtApplicationEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "vellumix_ui_test";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QApplication>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<QApplication> app_;
};

[[maybe_unused]] inline ::testing::Environment* const qtEnvironment =
    ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

} // namespace vellumix::test
