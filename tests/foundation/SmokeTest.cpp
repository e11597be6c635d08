#include <FileFmtMgr/SpStr.h>
#include <gtest/gtest.h>
TEST(Smoke, SpStrOrder) { EXPECT_LT(ffm::SpStr(L"B"), ffm::SpStr(L"a")); }
