// SPDX-License-Identifier: MIT
// Fixtures for the tests that open a volume. The volume is closed in
// TearDown, so a failed assertion cannot leave it open for the next test.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <utility>

#include "exfat/dir.h"
#include "exfat/volume_builder.h"

// For tests that build their own volumes.
class ClosesVolume : public ::testing::Test {
 protected:
  void TearDown() override { close_volume(); }
};

// One volume, by default of 4 KiB clusters with the heap at sector 2048
// (cluster c starts at sector 2048 + (c - 2) * 8), and a path to resolve.
class VolumeFixture : public ClosesVolume {
 protected:
  explicit VolumeFixture(VolumeBuilder builder = VolumeBuilder(3, 2048, 64, 128)) : v(std::move(builder)) {}

  VolumeBuilder v;
  EntryMatch found{};
  const char* missing = nullptr;
  char path[4096];  // the size of the program's own path buffer

  // resolve_path on a copy of `text`, into `found` and `missing`.
  int resolve(const char* text) {
    snprintf(path, sizeof path, "%s", text);
    return resolve_path(path, found, missing);
  }
};
