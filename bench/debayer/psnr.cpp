// SPDX-License-Identifier: LGPL-2.1-or-later
// Demosaicing quality: mosaics each photograph given on the command line
// (JPEG or PNG) with each of the four tilings, demosaics it with the
// framework's routines (as convert.fast_debayer does) and with OpenCV's
// bilinear cvtColor, and prints the PSNR of both against the original,
// colour and grey, two pixels in from the border. The OpenCV code with the
// wrong pattern is printed too: it shows which pairing is the right one.
//
//   debayer_psnr photo.jpg [more.jpg ...]
#include <cstddef>
#include <cstdio>
// jpeglib.h needs size_t and FILE declared first.
#include <jpeglib.h>
#include <kovkit/imageio.h>
#include <kovkit/pixel.h>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct JpegError {
  jpeg_error_mgr mgr;
  jmp_buf jump;
};

void jpeg_error_exit(j_common_ptr cinfo) { longjmp(reinterpret_cast<JpegError *>(cinfo->err)->jump, 1); }

// Decodes a JPEG file to packed RGB into *out (malloc'd); plain data only
// around setjmp.
bool decode_jpeg(FILE *file, unsigned char **out, int *width, int *height) {
  jpeg_decompress_struct cinfo;
  JpegError err;
  *out = nullptr;
  cinfo.err = jpeg_std_error(&err.mgr);
  err.mgr.error_exit = jpeg_error_exit;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    free(*out);
    *out = nullptr;
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_stdio_src(&cinfo, file);
  jpeg_read_header(&cinfo, TRUE);
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  *width = int(cinfo.output_width);
  *height = int(cinfo.output_height);
  *out = static_cast<unsigned char *>(malloc(size_t(*width) * *height * 3));
  if (*out == nullptr) longjmp(err.jump, 1);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row = *out + size_t(cinfo.output_scanline) * *width * 3;
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

// The photograph as packed RGB (CV_8UC3 in R, G, B order).
cv::Mat load_rgb(const std::string &path) {
  if (path.size() > 4 && path.compare(path.size() - 4, 4, ".png") == 0) {
    KovImageInfo info;
    guint8 *pixels = kov_image_load_png(path.c_str(), &info, nullptr);
    if (pixels == nullptr) return {};
    cv::Mat img;
    if (info.pixelformat == KOV_PIX_FMT_GREY)
      cv::cvtColor(cv::Mat(info.height, info.width, CV_8UC1, pixels), img, cv::COLOR_GRAY2RGB);
    else
      img = cv::Mat(info.height, info.width, CV_8UC3, pixels).clone();
    g_free(pixels);
    return img;
  }
  FILE *file = fopen(path.c_str(), "rb");
  if (file == nullptr) return {};
  unsigned char *pixels = nullptr;
  int w = 0, h = 0;
  const bool ok = decode_jpeg(file, &pixels, &w, &h);
  fclose(file);
  if (!ok) return {};
  cv::Mat img = cv::Mat(h, w, CV_8UC3, pixels).clone();
  free(pixels);
  return img;
}

struct Tiling {
  guint32 code;
  const char *name;      // top-left 2×2, row by row
  int cv_rgb, cv_gray;   // the matching OpenCV codes
  int cv_wrong;          // OpenCV code of the opposite pattern
};

const Tiling kTilings[] = {
    {KOV_PIX_FMT_BA81, "BGGR", cv::COLOR_BayerRG2RGB, cv::COLOR_BayerRG2GRAY, cv::COLOR_BayerBG2RGB},
    {KOV_PIX_FMT_XXX2, "GBRG", cv::COLOR_BayerGR2RGB, cv::COLOR_BayerGR2GRAY, cv::COLOR_BayerGB2RGB},
    {KOV_PIX_FMT_XXX3, "GRBG", cv::COLOR_BayerGB2RGB, cv::COLOR_BayerGB2GRAY, cv::COLOR_BayerGR2RGB},
    {KOV_PIX_FMT_XXX4, "RGGB", cv::COLOR_BayerBG2RGB, cv::COLOR_BayerBG2GRAY, cv::COLOR_BayerRG2RGB},
};

cv::Mat mosaic(const cv::Mat &rgb, const char *layout) {
  cv::Mat m(rgb.rows, rgb.cols, CV_8UC1);
  for (int y = 0; y < rgb.rows; ++y)
    for (int x = 0; x < rgb.cols; ++x) {
      const char c = layout[(y & 1) * 2 + (x & 1)];
      m.at<uint8_t>(y, x) = rgb.at<cv::Vec3b>(y, x)[c == 'R' ? 0 : c == 'G' ? 1 : 2];
    }
  return m;
}

double psnr_inner(const cv::Mat &a, const cv::Mat &b) {
  const cv::Rect inner(2, 2, a.cols - 4, a.rows - 4);
  return cv::PSNR(a(inner), b(inner));
}

int align16(int v) { return (v + 15) & ~15; }

// The fast debayer unit's path: quarter planes with margins, then BGRA; RGB.
cv::Mat ours_rgb(const cv::Mat &m, guint32 tiling) {
  const int w = m.cols, h = m.rows, hw = w / 2, hh = h / 2, stride = align16(hw) + 32;
  std::vector<uint8_t *> blocks(4);
  guint8 *origins[4];
  for (int i = 0; i < 4; ++i) {
    blocks[i] = static_cast<uint8_t *>(aligned_alloc(16, size_t(stride) * (hh + 2)));
    origins[i] = blocks[i] + stride + 16;
  }
  kov_pixel_split_bayer_planes_8u(origins, stride, m.data, int(m.step), hw, hh);
  for (guint8 *o : origins) kov_pixel_replicate_border_8u(o, stride, hw, hh);
  cv::Mat bgra(h, w, CV_8UC4), rgb(h, w, CV_8UC3);
  kov_pixel_bayer_interpolate_to_8u_bgra(origins, stride, bgra.data, int(bgra.step), w, h, tiling);
  kov_pixel_convert_8u_bgra_to_8u_rgb(rgb.data, int(rgb.step), w, h, bgra.data, int(bgra.step));
  for (uint8_t *b : blocks) free(b);
  return rgb;
}

cv::Mat ours_gray(const cv::Mat &m, guint32 tiling) {
  const int w = m.cols, h = m.rows, stride = align16(w) + 32;
  uint8_t *block = static_cast<uint8_t *>(aligned_alloc(16, size_t(stride) * (h + 4)));
  guint8 *origin = block + 2 * stride + 16;
  for (int y = 0; y < h; ++y) memcpy(origin + y * stride, m.ptr(y), w);
  kov_pixel_replicate_bayer_border_8u(origin, stride, w, h);
  cv::Mat gray(h, w, CV_8UC1);
  kov_pixel_bayer_interpolate_to_8u_gray(origin, stride, gray.data, int(gray.step), w, h, tiling);
  free(block);
  return gray;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s photo.jpg [more.jpg ...]\n", argv[0]);
    return 2;
  }
  cv::setNumThreads(1);
  printf("%-28s %-5s %8s %8s %8s   %8s %8s\n", "image", "tile", "ours", "cv", "cv-wrong",
         "grey-ours", "grey-cv");
  double sum_ours = 0, sum_cv = 0, sum_gours = 0, sum_gcv = 0;
  int n = 0;
  for (int i = 1; i < argc; ++i) {
    const cv::Mat rgb = load_rgb(argv[i]);
    if (rgb.empty() || rgb.cols < 8 || rgb.rows < 8) {
      fprintf(stderr, "%s: cannot read\n", argv[i]);
      continue;
    }
    cv::Mat luma;
    cv::cvtColor(rgb, luma, cv::COLOR_RGB2GRAY);
    const char *base = strrchr(argv[i], '/') != nullptr ? strrchr(argv[i], '/') + 1 : argv[i];
    for (const Tiling &t : kTilings) {
      const cv::Mat m = mosaic(rgb, t.name);
      cv::Mat cv_rgb, cv_wrong, cv_gray;
      cv::cvtColor(m, cv_rgb, t.cv_rgb);
      cv::cvtColor(m, cv_wrong, t.cv_wrong);
      cv::cvtColor(m, cv_gray, t.cv_gray);
      const double ours = psnr_inner(rgb, ours_rgb(m, t.code)), cv_p = psnr_inner(rgb, cv_rgb);
      const double gours = psnr_inner(luma, ours_gray(m, t.code)), gcv = psnr_inner(luma, cv_gray);
      printf("%-28s %-5s %8.2f %8.2f %8.2f   %8.2f %8.2f\n", base, t.name, ours, cv_p,
             psnr_inner(rgb, cv_wrong), gours, gcv);
      sum_ours += ours;
      sum_cv += cv_p;
      sum_gours += gours;
      sum_gcv += gcv;
      ++n;
    }
  }
  if (n > 0)
    printf("%-28s %-5s %8.2f %8.2f %8s   %8.2f %8.2f\n", "mean", "", sum_ours / n, sum_cv / n, "",
           sum_gours / n, sum_gcv / n);
  return n > 0 ? 0 : 1;
}
