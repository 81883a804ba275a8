// Memory Manager handles and length-prefixed strings.
#include <gtest/gtest.h>

#include <cstring>

#include "os/components.h"

namespace {

TEST(Handles, SizeClearAndResizeKeepTheContents) {
  Handle h = NewHandleClear(16);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(MemError(), noErr);
  EXPECT_EQ(GetHandleSize(h), 16);
  for (int i = 0; i < 16; ++i) EXPECT_EQ((*h)[i], 0);
  std::memcpy(*h, "0123456789abcdef", 16);
  SetHandleSize(h, 4096);
  EXPECT_EQ(MemError(), noErr);
  EXPECT_EQ(GetHandleSize(h), 4096);
  EXPECT_EQ(0, std::memcmp(*h, "0123456789abcdef", 16));
  SetHandleSize(h, 2);
  EXPECT_EQ(GetHandleSize(h), 2);
  EXPECT_EQ((*h)[1], '1');
  DisposeHandle(h);
  EXPECT_EQ(MemError(), noErr);

  Handle empty = NewHandle(0);
  ASSERT_NE(empty, nullptr);
  EXPECT_NE(*empty, nullptr);
  EXPECT_EQ(GetHandleSize(empty), 0);
  DisposeHandle(empty);
}

TEST(Handles, BadRequestsSetMemError) {
  EXPECT_EQ(NewHandle(-1), nullptr);
  EXPECT_EQ(MemError(), memFullErr);
  EXPECT_EQ(GetHandleSize(nullptr), 0);
  EXPECT_NE(MemError(), noErr);
  DisposeHandle(nullptr);
  EXPECT_NE(MemError(), noErr);
  Handle h = NewHandle(8);
  SetHandleSize(h, -5);
  EXPECT_EQ(MemError(), memFullErr);
  EXPECT_EQ(GetHandleSize(h), 8);
  DisposeHandle(h);
}

TEST(Handles, PascalStringsCarryTheirLength) {
  Str255 name;
  CopyCStringToPascal("QTSoundStream", name);
  EXPECT_EQ(name[0], 13);
  EXPECT_EQ(0, std::memcmp(name + 1, "QTSoundStream", 13));
  StringHandle h = NewString(name);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(GetHandleSize(h), 14);
  EXPECT_EQ(0, std::memcmp(*h, name, 14));
  DisposeHandle(h);

  std::string longText(300, 'a');
  CopyCStringToPascal(longText.c_str(), name);
  EXPECT_EQ(name[0], 255);
}

}  // namespace
