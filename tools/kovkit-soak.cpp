// SPDX-License-Identifier: LGPL-2.1-or-later
// kovkit-soak: runs a chain for many frames, as fast as it goes, and checks
// that the process does not grow while it runs.
//
//   kovkit-soak [-n FRAMES] [--max-growth KIB] [--location FILE] [CHAIN]
//
// The default chain takes a Bayer test picture through demosaicing, JPEG
// compression and decompression, a region, edges and circle detection into
// one raw file that every frame overwrites (--location, default
// soak-frame.raw). Prints the frame rate and the resident memory at frame
// 1 000 and at the end; exits with 1 when the memory grew by more than
// --max-growth KiB (default 1024) in between, 2 when the chain cannot run.
#include <kovkit/kovkit.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

namespace {

constexpr gint64 kWarmUpFrames = 1000;

const char kDefaultChain[] =
    "input.testsrc format=BA81 rate=0 width=160 height=120 ! convert.fast_debayer ! "
    "convert.jpeg_compress ! convert.jpeg_decompress format=GREY ! "
    "util.roi x=20 y=15 width=120 height=90 ! opencv.convert_canny ! detect.opencv.hough ! "
    "output.file location=\"%s\"";

// Resident memory of this process, in KiB; -1 when it cannot be read.
long resident_kib() {
  FILE *f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return -1;
  long size = 0, resident = -1;
  if (std::fscanf(f, "%ld %ld", &size, &resident) != 2) resident = -1;
  std::fclose(f);
  return resident < 0 ? -1 : resident * (sysconf(_SC_PAGESIZE) / 1024);
}

struct Run {
  gint64 frames = 0;
  long warm_kib = -1;
  gint64 warm_time = 0;
};

void on_frame(KovUnit *, KovFrameBuffer *, KovUnitFormat *, gpointer data) {
  auto *run = static_cast<Run *>(data);
  if (++run->frames == kWarmUpFrames) {
    run->warm_kib = resident_kib();
    run->warm_time = g_get_monotonic_time();
  }
}

int usage() {
  std::fprintf(stderr,
               "usage: kovkit-soak [-n FRAMES] [--max-growth KIB] [--location FILE] [CHAIN]\n");
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  gint64 frames = 100000;
  long max_growth_kib = 1024;
  std::string location = "soak-frame.raw";
  const char *text = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "-n" || arg == "--max-growth" || arg == "--location") && i + 1 < argc) {
      const char *value = argv[++i];
      char *end = nullptr;
      if (arg == "--location") {
        location = value;
        continue;
      }
      const long long n = std::strtoll(value, &end, 10);
      if (end == value || *end != '\0' || n < 0) return usage();
      if (arg == "-n")
        frames = n;
      else
        max_growth_kib = long(n);
    } else if (text == nullptr && arg[0] != '-') {
      text = argv[i];
    } else {
      return usage();
    }
  }
  if (frames <= kWarmUpFrames) {
    std::fprintf(stderr, "kovkit-soak: the run needs more than %lld frames\n",
                 static_cast<long long>(kWarmUpFrames));
    return 2;
  }
  gchar *chain_text =
      text != nullptr ? g_strdup(text) : g_strdup_printf(kDefaultChain, location.c_str());

  KovUnitChain *chain = kov_unit_chain_new();
  GError *error = nullptr;
  int status = 0;
  Run run;
  if (!kov_unit_chain_load_from_str(chain, chain_text, &error) ||
      !kov_unit_chain_all_units_stream_init_full(chain, &error)) {
    std::fprintf(stderr, "kovkit-soak: %s\n", error->message);
    g_error_free(error);
    status = 2;
  } else {
    KovUnit *last = kov_unit_chain_get_last_unit(chain);
    const gulong handler = g_signal_connect(last, "frame-ready", G_CALLBACK(on_frame), &run);
    const gint64 start = g_get_monotonic_time();
    while (run.frames < frames && kov_unit_chain_get_error(chain) == nullptr &&
           !kov_unit_chain_is_eos(chain)) {
      if (kov_unit_chain_iterate(chain) == G_MAXINT64) break;
    }
    const gint64 end = g_get_monotonic_time();
    const long end_kib = resident_kib();
    g_signal_handler_disconnect(last, handler);
    kov_unit_chain_all_units_stream_shutdown(chain);
    if (const GError *failed = kov_unit_chain_get_error(chain)) {
      std::fprintf(stderr, "kovkit-soak: %s\n", failed->message);
      status = 2;
    } else if (run.frames < frames) {
      std::fprintf(stderr, "kovkit-soak: the chain stopped after %lld frames\n",
                   static_cast<long long>(run.frames));
      status = 2;
    } else {
      const double seconds = double(end - start) / 1e6;
      const double after_warm = double(end - run.warm_time) / 1e6;
      const long growth = end_kib - run.warm_kib;
      std::printf("%lld frames in %.1f s: %.1f frames per second (%.1f after frame %lld)\n",
                  static_cast<long long>(run.frames), seconds, double(run.frames) / seconds,
                  double(run.frames - kWarmUpFrames) / after_warm,
                  static_cast<long long>(kWarmUpFrames));
      std::printf("resident memory: %ld KiB at frame %lld, %ld KiB at the end: %+ld KiB\n",
                  run.warm_kib, static_cast<long long>(kWarmUpFrames), end_kib, growth);
      if (run.warm_kib < 0 || end_kib < 0) {
        std::fprintf(stderr, "kovkit-soak: cannot read the resident memory\n");
        status = 2;
      } else if (growth > max_growth_kib) {
        std::fprintf(stderr, "kovkit-soak: memory grew by %ld KiB, more than %ld KiB\n", growth,
                     max_growth_kib);
        status = 1;
      }
    }
  }
  g_object_unref(chain);
  g_free(chain_text);
  return status;
}
