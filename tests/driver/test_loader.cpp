// Opening a backend from a bus URI: the library search, its failure message, the simulated bus.
#include "gpib/backends/ni488/ni488driver.h"
#include "gpib/backends/schemes.h"
#include "stubcontrol.h"
#include "tests/support/environment.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using namespace vellumix::gpib;
using vellumix::test::StubControl;

namespace {

BusUri parsed(const std::string& text) {
    std::string error;
    return parseBusUri(text, error).value();
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// How the system says that a library file is not there.
#ifdef _WIN32
const char* const NotFound = "(Windows error 126)";
const char* const FirstLibrary = "ni4882.dll";
#else
const char* const NotFound = "No such file";
const char* const FirstLibrary = "libgpib.so.0";
#endif

class LoaderTest : public testing::Test {
protected:
    void TearDown() override { unsetenv(DriverLibraryVariable); }
    VirtualClock clock;
};

TEST_F(LoaderTest, FirstLibraryThatLoadsWinsAndGetsTheBoard) {
    const DriverLibrarySearch search{
        {"/nonexistent/libgpib.so.0", STUB_NOASK_PATH, STUB_NI4882_PATH, STUB_GPIB_PATH}, false};
    auto opened = openBus(parsed("gpib:5"), clock, search);
    ASSERT_TRUE(opened.driver) << opened.error;
    EXPECT_TRUE(opened.error.empty());
    EXPECT_TRUE(contains(opened.description, STUB_NI4882_PATH)) << opened.description;

    StubControl stub(STUB_NI4882_PATH);
    opened.driver->SendIFC(0);
    EXPECT_EQ(stub.lastCall(), "SendIFC");
    EXPECT_EQ(stub.arg(0), 5);
}

TEST_F(LoaderTest, WhenNothingLoadsTheMessageNamesEveryLibraryAndTheWayOut) {
    const DriverLibrarySearch search{
        {"/nonexistent/libgpib.so.0", "libvellumix-absent.so.9", STUB_NOASK_PATH}, false};
    const auto opened = openBus(BusUri{}, clock, search);
    ASSERT_FALSE(opened.driver);
    EXPECT_EQ(opened.title, "GPIB Driver Error");
    for (const char* part : {"/nonexistent/libgpib.so.0", "libvellumix-absent.so.9", STUB_NOASK_PATH,
                             NotFound, "does not export ibask", "--bus sim", "VELLUMIX_GPIB_LIBRARY"})
        EXPECT_TRUE(contains(opened.error, part)) << part << " missing in:\n" << opened.error;
    EXPECT_FALSE(contains(opened.error, "/nonexistent/libgpib.so.0: /nonexistent/libgpib.so.0"))
        << opened.error;
}

TEST_F(LoaderTest, EnvironmentLibraryReplacesTheBuiltInList) {
    unsetenv(DriverLibraryVariable);
    EXPECT_FALSE(driverLibrarySearch().fromEnvironment);
    EXPECT_EQ(driverLibrarySearch().libraries, defaultDriverLibraries());
    EXPECT_EQ(defaultDriverLibraries().front(), FirstLibrary);

    // NI's flavour: its board check asks the library, not this machine's linux-gpib set-up.
    setenv(DriverLibraryVariable, STUB_NI4882_PATH, 1);
    const auto search = driverLibrarySearch();
    EXPECT_TRUE(search.fromEnvironment);
    EXPECT_EQ(search.libraries, std::vector<std::string>{STUB_NI4882_PATH});
    auto opened = openBus(parsed("gpib:2"), clock);
    ASSERT_TRUE(opened.driver) << opened.error;
    EXPECT_EQ(dynamic_cast<ni488::Ni488Driver&>(*opened.driver).board(), 2);

    setenv(DriverLibraryVariable, "/nonexistent/libmine.so", 1);
    const auto failed = openBus(BusUri{}, clock);
    ASSERT_FALSE(failed.driver);
    EXPECT_TRUE(contains(failed.error, "named by VELLUMIX_GPIB_LIBRARY")) << failed.error;
    EXPECT_TRUE(contains(failed.error, "/nonexistent/libmine.so")) << failed.error;
    EXPECT_FALSE(contains(failed.error, "libgpib.so.0"))
        << "the built-in list is not tried: " << failed.error;
    // The path once (dlerror repeats it), and no advice to set what is set.
    EXPECT_EQ(failed.error.find("/nonexistent/libmine.so"), failed.error.rfind("/nonexistent/libmine.so"))
        << failed.error;
    EXPECT_FALSE(contains(failed.error, "or set VELLUMIX_GPIB_LIBRARY")) << failed.error;
    EXPECT_TRUE(contains(failed.error, "unset it")) << failed.error;
}

#ifdef _WIN32
// The stub ni4882.dll is built beside this test program, the first place Windows looks: with the
// variable unset, the built-in list finds it, and the NI4882 calls reach it.
TEST_F(LoaderTest, Ni4882BesideTheProgramIsFoundWithoutTheVariable) {
    unsetenv(DriverLibraryVariable);
    auto opened = openBus(parsed("gpib:1"), clock);
    ASSERT_TRUE(opened.driver) << opened.error;
    EXPECT_EQ(opened.description, "ni4882.dll, board 1");
    auto& driver = dynamic_cast<ni488::Ni488Driver&>(*opened.driver);
    EXPECT_EQ(driver.api(), ni488::LibraryApi::Ni4882);

    StubControl stub(STUB_NI4882_PATH);
    EXPECT_EQ(driver.ibtmo(7, 11), 0);
    EXPECT_EQ(stub.lastCall(), "ibconfig") << "the same library, not another one on the search path";
    EXPECT_EQ(stub.args(3), (std::vector<long long>{7, 0x3, 11}));
}
#endif

TEST_F(LoaderTest, SimUrisOpenTheSimulatedBus) {
    auto opened = openBus(parsed("sim"), clock, DriverLibrarySearch{});
    EXPECT_TRUE(opened.driver) << opened.error;

    const auto failed = openBus(parsed("sim:/nonexistent/scenario.json"), clock);
    EXPECT_FALSE(failed.driver);
    EXPECT_EQ(failed.title, "Simulated Bus Error");
    EXPECT_FALSE(failed.error.empty());
}

} // namespace
