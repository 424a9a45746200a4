#pragma once
// One Qt application object for a whole test program, destroyed at the end so that leak checking sees
// a clean exit. Event loops (downloads, dialogs) need it for the whole run.
#include <QCoreApplication>

#include <gtest/gtest.h>

#include <memory>

namespace vellumix::test {

template <class App> class QtEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "vellumix_test";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<App>(argc, argv);
    }
    void TearDown() override { app_.reset(); }

private:
    std::unique_ptr<App> app_;
};

} // namespace vellumix::test
