#include <gtest/gtest.h>

#include "SshGuest.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::AddGlobalTestEnvironment(&wholejob::SshGuest());
  return RUN_ALL_TESTS();
}
