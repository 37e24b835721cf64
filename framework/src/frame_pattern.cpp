// SPDX-License-Identifier: LGPL-2.1-or-later
// Frame-number patterns of file names ("out/%03d.png"): checking a pattern
// and putting a frame number into it.
#include <kovkit/imageio.h>

#include <cstring>

namespace {

// One parsed conversion of a frame-number pattern.
struct FramePattern {
  gsize start = 0;  // offset of '%'
  gsize end = 0;    // offset after the conversion character
  bool zero = false;
  bool left = false;
  int width = 0;
  bool found = false;
};

bool parse_pattern(const gchar *pattern, FramePattern *pattern_out, GError **error) {
  *pattern_out = FramePattern();
  for (gsize i = 0; pattern[i] != '\0'; i++) {
    if (pattern[i] != '%') continue;
    if (pattern[i + 1] == '%') {
      i++;
      continue;
    }
    if (pattern_out->found) {
      g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                  "\"%s\" has more than one number conversion", pattern);
      return false;
    }
    FramePattern s;
    s.start = i;
    gsize j = i + 1;
    for (; pattern[j] == '0' || pattern[j] == '-'; j++) {
      if (pattern[j] == '0') s.zero = true;
      else s.left = true;
    }
    for (; g_ascii_isdigit(pattern[j]); j++) {
      s.width = s.width * 10 + (pattern[j] - '0');
      if (s.width > 64) {
        g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                    "\"%s\": number width is too large", pattern);
        return false;
      }
    }
    if (pattern[j] != 'd' && pattern[j] != 'i' && pattern[j] != 'u') {
      g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                  "\"%s\": only %%d, %%i or %%u (with an optional width such as %%03d) "
                  "may hold the frame number",
                  pattern);
      return false;
    }
    s.end = j + 1;
    s.found = true;
    *pattern_out = s;
    i = j;
  }
  return true;
}

// Appends pattern text with "%%" turned into '%'.
void append_literal(GString *out, const gchar *text, gsize length) {
  for (gsize i = 0; i < length; i++) {
    g_string_append_c(out, text[i]);
    if (text[i] == '%' && i + 1 < length && text[i + 1] == '%') i++;
  }
}

}  // namespace

gboolean kov_frame_pattern_check(const gchar *pattern, gboolean *has_number, GError **error) {
  FramePattern parsed;
  if (pattern == nullptr || !parse_pattern(pattern, &parsed, error)) return FALSE;
  if (has_number != nullptr) *has_number = parsed.found;
  return TRUE;
}

gchar *kov_frame_pattern_format(const gchar *pattern, guint64 number) {
  FramePattern parsed;
  if (pattern == nullptr || !parse_pattern(pattern, &parsed, nullptr)) return nullptr;
  GString *out = g_string_new(nullptr);
  if (!parsed.found) {
    append_literal(out, pattern, strlen(pattern));
    return g_string_free(out, FALSE);
  }
  append_literal(out, pattern, parsed.start);
  gchar digits[32];
  g_snprintf(digits, sizeof digits, "%" G_GUINT64_FORMAT, number);
  int pad = parsed.width - static_cast<int>(strlen(digits));
  if (pad > 0 && !parsed.left) {
    for (int i = 0; i < pad; i++) g_string_append_c(out, parsed.zero ? '0' : ' ');
  }
  g_string_append(out, digits);
  if (pad > 0 && parsed.left) {
    for (int i = 0; i < pad; i++) g_string_append_c(out, ' ');
  }
  append_literal(out, pattern + parsed.end, strlen(pattern + parsed.end));
  return g_string_free(out, FALSE);
}
