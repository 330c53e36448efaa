#include <gtest/gtest.h>

#include "jc/JCRuntimeImpl.h"
#include "jc/Util.h"
#include "support/CapturingSink.h"
#include "TestApplet.h"

namespace quillon {
namespace {

TEST(CardMemory, AllocationNumbersKeepGrowingAcrossClears) {
  test::TraceCapture capture;
  JCRuntimeImpl runtime;
  test::ScriptedApplet::install(runtime, [](APDU&) {});  // block 0
  void* a = runtime.allocatePersistent(10, JC_HERE("Owner::a"));
  runtime.allocatePersistent(20, JC_HERE("Owner::b"));
  EXPECT_EQ(capture.sink().count("allocNum=1"), 1u);
  EXPECT_EQ(capture.sink().count("allocNum=2"), 1u);
  EXPECT_EQ(runtime.persistentBlockCount(), 3u);
  EXPECT_EQ(runtime.persistentBytes(), sizeof(test::ScriptedApplet) + 30);

  runtime.freePersistent(a, JC_HERE("Owner::a"));
  EXPECT_EQ(runtime.persistentBlockCount(), 2u);
  runtime.freePersistent(a, JC_HERE("Owner::a"));  // already gone
  EXPECT_EQ(capture.sink().count("not found"), 1u);
  const auto lines = capture.sink().lines();
  EXPECT_EQ(lines.back().level, trace::kError);
  EXPECT_EQ(lines.back().text.rfind("JCRuntimeImpl::freePersistent(", 0), 0u);
  runtime.freePersistent(nullptr, JC_HERE("Owner::a"));  // ignored
  EXPECT_EQ(runtime.persistentBlockCount(), 2u);

  runtime.setApplet(nullptr);  // releases everything
  EXPECT_EQ(runtime.persistentBlockCount(), 0u);
  runtime.allocatePersistent(1, JC_HERE("Owner::c"));
  EXPECT_EQ(runtime.allocationCounter(), 4u);
}

TEST(CardMemory, PersistentViewRaisesNoResourceWhenTheHeapRefuses) {
  JCRuntimeImpl runtime;
  EXPECT_EQ(runtime.allocatePersistent(~std::uint64_t{0}, JC_HERE("Owner::huge")), nullptr);
  try {
    runtime.persistentMemory().allocate(~std::uint64_t{0}, JC_HERE("Owner::huge"));
    FAIL();
  } catch (const SystemException& e) {
    EXPECT_EQ(e.getReason(), SystemException::NO_RESOURCE);
  }
}

TEST(CardMemory, TransientArraysAreClearedOnResetAndKeepTheirStorage) {
  JCRuntimeImpl runtime;
  auto empty = runtime.makeTransientByteArray(0, CLEAR_ON_RESET);
  EXPECT_EQ(empty.data(), nullptr);
  EXPECT_EQ(empty.length(), 0);
  EXPECT_EQ(runtime.transientBlockCount(), 0u);

  auto bytes = runtime.makeTransientByteArray(16, CLEAR_ON_RESET);
  auto shorts = runtime.makeTransientShortArray(6, CLEAR_ON_DESELECT);
  auto objects = runtime.makeTransientObjectArray(2, CLEAR_ON_RESET);
  EXPECT_EQ(runtime.transientBlockCount(), 3u);
  bytes[15] = 0x42;
  shorts[5] = 0x4242;
  int marker = 0;
  objects[1] = &marker;
  const std::uint8_t* storage = bytes.data();

  runtime.clearResetTransients();  // every runtime block clears on reset
  EXPECT_EQ(bytes[15], 0);
  EXPECT_EQ(shorts[5], 0);
  EXPECT_EQ(objects[1], nullptr);
  EXPECT_EQ(bytes.length(), 16);
  EXPECT_EQ(bytes.data(), storage);

  bytes[0] = 1;
  runtime.clearResetAndDeselectTransients();
  EXPECT_EQ(bytes[0], 0);

  bytes = JCArray<std::uint8_t>();  // releasing an array frees its block
  EXPECT_EQ(runtime.transientBlockCount(), 2u);
}

TEST(JCArrayTest, MovesTransferStorage) {
  JCRuntimeImpl runtime;
  ByteArray a(4, runtime.persistentMemory(), JC_HERE("Test::a"));
  ByteArray b(8, runtime.persistentMemory(), JC_HERE("Test::b"));
  EXPECT_EQ(runtime.persistentBlockCount(), 2u);
  std::uint8_t* bStorage = b.data();

  auto& self = a;
  a = std::move(self);  // assigning an array to itself changes nothing
  EXPECT_EQ(a.length(), 4);

  a = std::move(b);
  EXPECT_EQ(runtime.persistentBlockCount(), 1u);  // a's old storage was freed
  EXPECT_EQ(a.data(), bStorage);
  EXPECT_EQ(a.length(), 8);
  EXPECT_EQ(b.data(), nullptr);
  EXPECT_EQ(b.length(), 0);
  EXPECT_EQ(b.allocator(), nullptr);

  ByteArray c(std::move(a));
  EXPECT_EQ(c.data(), bStorage);
  EXPECT_EQ(a.length(), 0);
}

TEST(JCArrayTest, ViewsNeverFreeWhatTheyShow) {
  JCRuntimeImpl runtime;
  std::uint8_t raw[4] = {1, 2, 3, 4};
  {
    ByteArray view = ByteArray::view(raw, 4);
    EXPECT_EQ(view[3], 4);
    EXPECT_EQ(view.allocator(), nullptr);
  }
  EXPECT_EQ(raw[0], 1);
  EXPECT_EQ(ByteArray::view(nullptr, 4).length(), 0);
}

TEST(JCArrayTest, IndexesAndRangesAreChecked) {
  JCRuntimeImpl runtime;
  ByteArray a(4, runtime.persistentMemory(), JC_HERE("Test::a"));
  a[3] = 9;
  EXPECT_THROW(a[4], SystemException);
  try {
    a[4] = 1;
  } catch (const SystemException& e) {
    EXPECT_EQ(e.getReason(), SystemException::INDEX_OUT_OF_BOUNDS);
  }
  a.zero(100, 0);  // count 0: nothing, wherever the offset lies
  a.zero(2, 2);
  EXPECT_EQ(a[3], 0);
  EXPECT_THROW(a.zero(3, 2), SystemException);
  EXPECT_THROW(a.checkRange(0xFFFFFFFF, 2), SystemException);
}

TEST(UtilTest, CopiesAndComparesWithinBounds) {
  JCRuntimeImpl runtime;
  ByteArray a(8, runtime.persistentMemory(), JC_HERE("Test::a"));
  ByteArray b(4, runtime.persistentMemory(), JC_HERE("Test::b"));
  Util::setShort(a, 0, 0x1234);
  Util::setShort(a, 2, 0x5678);
  EXPECT_EQ(Util::getShort(a, 1), 0x3456);
  Util::arrayCopy(a, 0, b, 0, 4);
  EXPECT_EQ(Util::arrayCompare(a, 0, b, 0, 4), 0);
  b[3] = 0x79;
  EXPECT_EQ(Util::arrayCompare(a, 0, b, 0, 4), -1);
  EXPECT_EQ(Util::arrayCompare(b, 0, a, 0, 4), 1);
  EXPECT_EQ(Util::arrayCompare(a, 100, b, 100, 0), 0);
  EXPECT_THROW(Util::arrayCopy(a, 4, b, 1, 4), SystemException);  // destination too short
  EXPECT_THROW(Util::arrayCopy(a, 6, b, 0, 4), SystemException);  // source too short
  EXPECT_EQ(b[1], 0x34);                                          // nothing moved
  EXPECT_THROW(Util::getShort(a, 7), SystemException);
  Util::arrayFill(a, 4, 4, 0xFF);
  EXPECT_EQ(a[7], 0xFF);
}

}  // namespace
}  // namespace quillon
