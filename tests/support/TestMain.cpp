// The entry of the test programs that use the shared support, apart from it so that a program
// with GoogleTest's own entry (the Windows platform test) can use the support as well.
#include <filesystem>
#include <system_error>

#include "support/TestSupport.h"

int main(int argc, char** argv) {
  // Everything the server writes below the user's data folder goes to a fresh temporary folder.
  Platform::SetEnvironment("XDG_DATA_HOME", TestSupport::DataHome().string().c_str());
  testing::InitGoogleTest(&argc, argv);
  const int result = RUN_ALL_TESTS();
  // A failed run keeps its files for a look.
  std::error_code ignored;
  if (result == 0) std::filesystem::remove_all(TestSupport::DataHome(), ignored);
  return result;
}
