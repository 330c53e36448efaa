// A VirtualReader on a StickWorld, with the steps most tests start from.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "ReaderCalls.h"
#include "StickWorld.h"
#include "reader/VirtualReader.h"

namespace quillon::test {

class ReaderFixture : public ::testing::Test {
 protected:
  ReaderFixture() { openReader(); }

  // A new reader on the same configuration, as after a pcscd restart.
  void openReader() {
    reader.reset();
    reader = std::make_unique<reader::VirtualReader>(world.config());
  }
  bool swallow(const std::string& path) { return reader->swallow(StickWorld::swallowInput(path)); }
  bool swallowStick() { return swallow(world.devicePath()); }

  // Card created, swallowed, reported present, powered and its application selected.
  void serveCard() {
    world.createCard();
    ASSERT_TRUE(swallowStick());
    ASSERT_TRUE(reader->present());
    ASSERT_EQ(powerUp(*reader), IFD_SUCCESS);
    ASSERT_EQ(sw(*reader, kSelectGids), 0x9000);
  }

  StickWorld world;
  std::unique_ptr<reader::VirtualReader> reader;
};

}  // namespace quillon::test
