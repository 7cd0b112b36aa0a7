#include <gtest/gtest.h>
#include "host/host.h"
TEST(Smoke, HostStarts) { host::Host h; h.Sleep(host::Milliseconds(60000)); EXPECT_EQ(h.Now(), host::Milliseconds(60000)); }
