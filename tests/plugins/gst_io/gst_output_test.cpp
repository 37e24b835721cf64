// SPDX-License-Identifier: LGPL-2.1-or-later
// output.gst: frames into files GStreamer writes (raw, Matroska, MP4) read
// back with GStreamer, a stream over the loopback interface from one chain
// to another, and pipelines that refuse, fail or do not finish.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <glib/gstdio.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "gst_chain_run.h"
#include "test_support.h"

namespace {

using kovtest::Ref;

class GstOutputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }
};

void record_error(KovUnit *, GError *error, gpointer data) {
  auto *errors = static_cast<std::vector<std::string> *>(data);
  errors->push_back(error->message);
}

// A test source of one format feeding output.gst with @pipeline; frames
// pushed with push() go through, the errors the unit posts are collected.
struct Output {
  Output(const std::string &pipeline, guint32 code, int width, int height, int stride,
         int timeout_s = 5) {
    source = kovtest::make_source(code, width, height, stride);
    unit = kovtest::create_unit("output.gst");
    GError *error = nullptr;
    EXPECT_TRUE(kov_unit_control_set_string(kov_unit_find_control(unit.get(), "pipeline"),
                                            pipeline.c_str(), &error));
    EXPECT_TRUE(kov_unit_control_set_int(kov_unit_find_control(unit.get(), "timeout"), timeout_s,
                                         &error));
    g_clear_error(&error);
    g_signal_connect(unit.get(), "error", G_CALLBACK(record_error), &errors);
    kov_unit_set_input(unit.get(), source.get());
    rec = std::make_unique<kovtest::Recorder>(unit.get());
    kov_unit_stream_init(source.get(), nullptr);
    started = kov_unit_stream_init(unit.get(), nullptr) == 0;
  }
  ~Output() { stop(); }
  void push(const std::vector<uint8_t> &bytes, gint64 timestamp) {
    Ref<KovFrameBuffer> frame = kovtest::make_frame(bytes);
    frame->timestamp = timestamp;
    kovtest::source_push(source.get(), frame.get());
  }
  void stop() {
    if (!unit) return;
    kov_unit_stream_shutdown(unit.get());
    kov_unit_stream_shutdown(source.get());
    g_signal_handlers_disconnect_by_data(unit.get(), &errors);
    passed = rec->count();
    rec.reset();
    kov_unit_set_input(unit.get(), nullptr);
    unit = Ref<KovUnit>();
  }
  std::string start_error() {
    const GError *e = kov_unit_get_error(unit.get());
    return e != nullptr ? e->message : "";
  }

  Ref<KovUnit> source, unit;
  std::unique_ptr<kovtest::Recorder> rec;
  std::vector<std::string> errors;
  size_t passed = 0;  // frames the unit passed on, counted when it stops
  bool started = false;
};

std::string file_contents(const std::string &path) {
  gchar *data = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &data, &length, nullptr)) return "";
  std::string s(data, length);
  g_free(data);
  return s;
}

// Packed RGB rows of 21 bytes go to a file in GStreamer's layout: rows of 24
// bytes, the padding zero (a file sink reads no strides).
TEST_F(GstOutputTest, RawFileHoldsEveryFrameInGStreamersLayout) {
  const std::string path = kovtest::temp_dir() + "/out.raw";
  std::string expected;
  {
    Output out("filesink location=" + path, KOV_PIX_FMT_RGB3, 7, 2, 21);
    ASSERT_TRUE(out.started) << out.start_error();
    for (int f = 0; f < 3; f++) {
      std::vector<uint8_t> bytes(42);
      for (int i = 0; i < 42; i++) bytes[i] = uint8_t(f * 50 + i + 1);
      out.push(bytes, 1000 + f * 40000);
      for (int y = 0; y < 2; y++) {
        expected.append(reinterpret_cast<const char *>(&bytes[y * 21]), 21);
        expected.append(3, '\0');
      }
    }
    out.stop();
    EXPECT_EQ(out.errors, std::vector<std::string>{});
  }
  EXPECT_EQ(file_contents(path), expected);
}

// 4:2:0 video needs an even size; rows of 198 bytes are not GStreamer's 200.
TEST_F(GstOutputTest, RecordingsDecodeBackToEveryFrame) {
  const struct {
    const char *name, *pipeline;
  } table[] = {
      {"a.mkv", "videoconvert ! video/x-raw,format=I420 ! x264enc ! matroskamux"},
      {"a.mp4", "videoconvert ! video/x-raw,format=I420 ! x264enc ! mp4mux"},
  };
  for (const auto &row : table) {
    SCOPED_TRACE(row.name);
    const std::string path = kovtest::temp_dir() + "/" + row.name;
    {
      Output out(std::string(row.pipeline) + " ! filesink location=" + path, KOV_PIX_FMT_RGB3, 66,
                 50, 66 * 3);
      ASSERT_TRUE(out.started) << out.start_error();
      for (int f = 0; f < 12; f++) out.push(std::vector<uint8_t>(66 * 3 * 50, uint8_t(f * 20)), f * 40000 + 5);
      out.stop();
      EXPECT_EQ(out.errors, std::vector<std::string>{});
      EXPECT_EQ(out.passed, 12u);  // passed on, too
    }
    std::string caps;
    const auto frames = gsttest::gst_buffers(
        "filesrc location=" + path + " ! decodebin", &caps);
    EXPECT_EQ(frames.size(), 12u);
    EXPECT_NE(caps.find("width=(int)66, height=(int)50"), std::string::npos) << caps;
  }
}

int free_udp_port() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &length) != 0) {
    close(fd);
    return -1;
  }
  close(fd);
  return ntohs(addr.sin_port);
}

// One chain sends RTP/JPEG to 127.0.0.1, another receives it. The sender's
// udpsink plays at the frames' timestamps, 25 a second, until the receiver
// has its frames.
TEST_F(GstOutputTest, FramesCrossTheLoopbackAsRtpJpeg) {
  const int port = free_udp_port();
  ASSERT_GT(port, 0);
  // Left half red, right half blue.
  std::vector<uint8_t> picture(64 * 48 * 3);
  for (int i = 0; i < 64 * 48; i++) {
    const bool left = i % 64 < 32;
    picture[i * 3] = left ? 255 : 0;
    picture[i * 3 + 2] = left ? 0 : 255;
  }
  std::atomic<bool> stop{false};
  std::atomic<int> sent{0};
  std::thread sender([&] {
    // RTP carries 4:2:0 and 4:2:2 JPEG only.
    Output out("videoconvert ! video/x-raw,format=I420 ! jpegenc ! rtpjpegpay ! udpsink "
               "host=127.0.0.1 port=" + std::to_string(port),
               KOV_PIX_FMT_RGB3, 64, 48, 64 * 3);
    for (int f = 0; out.started && !stop && f < 25 * 30; f++, sent++) out.push(picture, 1 + f * 40000);
  });
  const auto run = gsttest::run_chain(
      "input.gst format=RGB3 pipeline=\"udpsrc port=" + std::to_string(port) +
          " caps=application/x-rtp,media=video,encoding-name=JPEG,clock-rate=90000,payload=26"
          " ! rtpjpegdepay ! jpegdec\"",
      5, 30);
  stop = true;
  sender.join();
  EXPECT_EQ(run.error, "");
  ASSERT_EQ(run.frames.size(), 5u) << sent << " frames sent";
  EXPECT_EQ(run.formats[4]->width, 64);
  EXPECT_EQ(run.formats[4]->height, 48);
  const int stride = run.formats[4]->row_stride;
  const uint8_t *red = &run.frames[4][24 * stride + 16 * 3];
  const uint8_t *blue = &run.frames[4][24 * stride + 48 * 3];
  EXPECT_GT(red[0], 200);
  EXPECT_LT(red[2], 60);
  EXPECT_LT(blue[0], 60);
  EXPECT_GT(blue[2], 200);
}

TEST_F(GstOutputTest, BadPipelinesGiveOneClearError) {
  kovtest::Ref<KovUnit> unit = kovtest::create_unit("output.gst");
  ASSERT_TRUE(unit);
  GError *error = nullptr;
  EXPECT_FALSE(kov_unit_control_set_string(kov_unit_find_control(unit.get(), "pipeline"),
                                           "videoconvert ! nosuchsink", &error));
  ASSERT_NE(error, nullptr);
  EXPECT_STREQ(error->message,
               "output.gst: control \"pipeline\" refused the value: no element \"nosuchsink\"");
  g_clear_error(&error);

  {
    Output out("filesink location=/nonexistent/folder/out.raw", KOV_PIX_FMT_GREY, 4, 4, 4);
    EXPECT_FALSE(out.started);
    EXPECT_EQ(out.start_error(),
              "Could not open file \"/nonexistent/folder/out.raw\" for writing. (system error: No "
              "such file or directory)");
  }
  {
    Output out("fakesink", KOV_PIX_FMT_FG32, 4, 4, 16);
    EXPECT_FALSE(out.started);
    EXPECT_EQ(out.start_error(), "frames of format FG32 cannot go to GStreamer");
  }
  {
    // Caps that cannot be met: posted once, frames still passed on.
    Output out("video/x-raw,format=GRAY16_LE ! fakesink", KOV_PIX_FMT_GREY, 4, 4, 4);
    ASSERT_TRUE(out.started);
    for (int f = 0; f < 3; f++) out.push(std::vector<uint8_t>(16, 1), f + 1);
    out.stop();
    ASSERT_EQ(out.errors.size(), 1u);
    EXPECT_NE(out.errors[0].find("not-negotiated"), std::string::npos) << out.errors[0];
    EXPECT_EQ(out.passed, 3u);
  }
  {
    // A pipeline that does not finish in time is left, and said so.
    Output out("identity sleep-time=1500000 ! fakesink", KOV_PIX_FMT_GREY, 4, 4, 4, 1);
    ASSERT_TRUE(out.started);
    out.push(std::vector<uint8_t>(16, 1), 1);
    out.stop();
    EXPECT_EQ(out.errors,
              std::vector<std::string>{"the pipeline did not finish within 1 s of the end of the "
                                       "stream; what it wrote may be incomplete"});
  }
}

}  // namespace
