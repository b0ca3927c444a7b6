// Linked into every test program: gives each test the folders and the Qt platform it
// expects, also when the program is started by hand rather than by ctest.
#include <cstdlib>

namespace {

struct TestEnvironmentDefaults {
    TestEnvironmentDefaults() {
        setenv("HM_TEST_SOURCE_DIR", HM_TEST_SOURCE_DIR_DEFAULT, 0);
        setenv("HM_BINARY_DIR", HM_BINARY_DIR_DEFAULT, 0);
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        setenv("SVL_SMB_HELPER", HM_BINARY_DIR_DEFAULT "/hollowmere-smb-helper", 0);
    }
};

const TestEnvironmentDefaults defaults;

}  // namespace
