// SPDX-License-Identifier: LGPL-2.1-or-later
// kovkit-run with GStreamer: a finite pipeline ends the run, and a machine
// without a camera says so in one line (these two cases are skipped where a
// camera is present).
#include <gtest/gtest.h>

#include <gst/gst.h>

#include "test_support.h"

namespace {

std::string runner() { return kovtest::bin_dir() + "/kovkit-run"; }

bool has_camera() {
  gst_init(nullptr, nullptr);
  GstDeviceMonitor *monitor = gst_device_monitor_new();
  gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
  GList *devices = gst_device_monitor_get_devices(monitor);
  const bool any = devices != nullptr;
  g_list_free_full(devices, gst_object_unref);
  gst_object_unref(monitor);
  return any;
}

TEST(GstRunnerTest, FinitePipelineEndsTheRunWithStatusZero) {
  const auto r = kovtest::run_program(
      {runner(), "input.gst sync=false pipeline=\"videotestsrc num-buffers=4 ! "
                 "video/x-raw,width=7,height=5\""});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.err.rfind("4 frames in ", 0), 0u) << r.err;
}

TEST(GstRunnerTest, WithoutACameraDevicesAndCameraSaySoInOneLine) {
  if (has_camera()) GTEST_SKIP() << "this machine has a camera";
  const auto devices = kovtest::run_program({runner(), "--devices"});
  EXPECT_EQ(devices.exit_status, 0);
  EXPECT_EQ(devices.out, "no video capture devices\n");
  EXPECT_EQ(devices.err, "");

  const auto chain = kovtest::run_program({runner(), "input.camera ! util.flip"});
  EXPECT_EQ(chain.exit_status, 2);
  EXPECT_EQ(chain.err, "kovkit-run: input.camera: no video capture device found\n");
}

}  // namespace
