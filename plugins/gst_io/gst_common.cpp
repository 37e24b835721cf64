// SPDX-License-Identifier: LGPL-2.1-or-later
// The machinery shared by the GStreamer units (see gst_common.h).
//
// Threads. GStreamer calls the appsink callbacks and the bus handler on its
// own streaming threads; they only record the first error and make an
// eventfd readable, once until the chain's thread has looked (a flag says a
// wake-up is on its way, so a busy stream costs no write per frame).
// Everything that touches the unit (pulling samples, producing frames,
// posting the end of the stream or errors) happens on the chain's thread, in
// produce_pending_frame. That takes one sample and pulls the next one ahead:
// while one is waiting the unit is due at once, and the driver calls again
// without waiting on the descriptor.
#include "gst_common.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <kovkit/gst_bridge.h>

namespace kov::gstio {

gboolean ensure_gst(GError **error) {
  GError *local = nullptr;
  if (gst_init_check(nullptr, nullptr, &local)) return TRUE;
  g_set_error(error, KOV_ERROR, KOV_ERROR_STREAM, "GStreamer cannot start: %s",
              local != nullptr ? local->message : "unknown reason");
  g_clear_error(&local);
  return FALSE;
}

namespace {

// GStreamer's parser reports some malformed text (a caps name that is not a
// name, in a link or in a property) as a critical warning instead of an
// error, and a program that makes criticals fatal would stop there. While a
// pipeline text is parsed, GStreamer's criticals are taken as faults of the
// text: the first is kept, and none is fatal. Parses take turns; a critical
// that another GStreamer thread gives meanwhile counts against the text too.
class CriticalCatcher {
 public:
  CriticalCatcher() : lock_(mutex()) {
    saved_fatal_ = g_log_set_always_fatal(GLogLevelFlags(G_LOG_FATAL_MASK));
    g_log_set_always_fatal(GLogLevelFlags(saved_fatal_ & ~G_LOG_LEVEL_CRITICAL));
    handler_ = g_log_set_handler("GStreamer",
                                 GLogLevelFlags(G_LOG_LEVEL_CRITICAL | G_LOG_FLAG_FATAL),
                                 on_critical, this);
  }
  ~CriticalCatcher() {
    g_log_remove_handler("GStreamer", handler_);
    g_log_set_always_fatal(saved_fatal_);
    g_free(first_);
  }
  CriticalCatcher(const CriticalCatcher &) = delete;
  CriticalCatcher &operator=(const CriticalCatcher &) = delete;
  // The first critical, or NULL.
  const gchar *first() const { return first_; }

 private:
  static std::mutex &mutex() {
    static std::mutex m;
    return m;
  }
  static void on_critical(const gchar *, GLogLevelFlags, const gchar *message, gpointer data) {
    auto *self = static_cast<CriticalCatcher *>(data);
    if (self->first_ == nullptr) self->first_ = g_strdup(message != nullptr ? message : "");
  }
  std::lock_guard<std::mutex> lock_;
  GLogLevelFlags saved_fatal_;
  guint handler_ = 0;
  gchar *first_ = nullptr;
};

// A pipeline text in the parts that matter for its links. GStreamer's
// parser reads identifiers (runs of letters, digits and "_-%:"), references
// (an identifier run with a dot: "name.", "name.pad", ".pad") and "!" links;
// here every other byte, quotes and "=" included, stands alone. Reading no
// quoted or unquoted value as a whole errs on the safe side: a link is seen
// wherever GStreamer might see one.
struct Token {
  enum Kind { kLink, kReference, kWord, kOther } kind;
  std::string text;  // a reference's element name, or the word
  gchar other = 0;   // the byte of kOther
};

bool is_identifier_char(gchar c) {
  return g_ascii_isalnum(c) || (c != '\0' && std::strchr("_-%:", c) != nullptr);
}

std::vector<Token> pipeline_tokens(const gchar *text) {
  std::vector<Token> tokens;
  for (const gchar *p = text; *p != '\0';) {
    if (g_ascii_isspace(*p)) {
      ++p;
    } else if (*p == '!') {
      tokens.push_back({Token::kLink, ""});
      ++p;
    } else if (is_identifier_char(*p) || *p == '.') {
      const gchar *begin = p;
      while (is_identifier_char(*p) || *p == '.') ++p;
      const std::string word(begin, p);
      const size_t dot = word.find('.');
      if (dot != std::string::npos)
        tokens.push_back({Token::kReference, word.substr(0, dot)});
      else
        tokens.push_back({Token::kWord, word});
    } else {
      tokens.push_back({Token::kOther, "", *p});
      ++p;
    }
  }
  return tokens;
}

// The names given with name=NAME (or name="NAME").
std::vector<std::string> element_names(const std::vector<Token> &tokens) {
  std::vector<std::string> names;
  for (size_t i = 0; i + 2 < tokens.size(); ++i) {
    if (tokens[i].kind != Token::kWord || tokens[i].text != "name" ||
        tokens[i + 1].kind != Token::kOther || tokens[i + 1].other != '=')
      continue;
    size_t v = i + 2;
    if (tokens[v].kind == Token::kOther && (tokens[v].other == '"' || tokens[v].other == '\''))
      ++v;
    if (v < tokens.size() && tokens[v].kind == Token::kWord) names.push_back(tokens[v].text);
  }
  return names;
}

// GStreamer's parser crashes on a link whose ends are both references to
// elements it cannot find ("a. ! b.", "a.src ! video/x-raw ! b.sink"). Such
// a link is refused first unless one of its names is given to an element
// with name=. (A reference to an element's automatic name, "fakesrc0.", at
// both ends of a link is refused too.)
bool links_named_elements(const gchar *text, GError **error) {
  const std::vector<Token> tokens = pipeline_tokens(text);
  const std::vector<std::string> names = element_names(tokens);
  auto named = [&](const std::string &name) {
    for (const std::string &n : names)
      if (!name.empty() && n == name) return true;
    return false;
  };
  // The first reference after link k, past caps between links ("! a/b,c=d !").
  auto reference_after = [&](size_t k) -> const Token * {
    for (size_t j = k + 1; j < tokens.size(); ++j) {
      if (tokens[j].kind == Token::kReference) return &tokens[j];
      if (tokens[j].kind == Token::kLink) continue;  // after caps
      // Caps run up to the next link; anything else ends the search.
      bool caps = false;
      size_t e = j;
      for (; e < tokens.size() && tokens[e].kind != Token::kLink; ++e)
        caps = caps || (tokens[e].kind == Token::kOther && tokens[e].other == '/');
      if (!caps || e >= tokens.size()) return nullptr;
      j = e;
    }
    return nullptr;
  };
  for (size_t k = 1; k < tokens.size(); ++k) {
    if (tokens[k].kind != Token::kLink || tokens[k - 1].kind != Token::kReference) continue;
    const Token *to = reference_after(k);
    if (to == nullptr) continue;
    const std::string &from = tokens[k - 1].text;
    if (named(from) || named(to->text)) continue;
    g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE,
                "a link from \"%s.\" to \"%s.\" names no element at either end", from.c_str(),
                to->text.c_str());
    return false;
  }
  return true;
}

}  // namespace

GstElement *parse_pipeline(const gchar *text, GError **error, gboolean *link_failed) {
  if (!ensure_gst(error)) return nullptr;
  if (!links_named_elements(text, error)) return nullptr;
  GError *local = nullptr;
  CriticalCatcher criticals;
  GstElement *pipeline =
      gst_parse_launch_full(text, nullptr, GST_PARSE_FLAG_FATAL_ERRORS, &local);
  if (local == nullptr && criticals.first() != nullptr) {
    if (pipeline != nullptr) gst_object_unref(pipeline);
    g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE, "GStreamer cannot read the pipeline (%s)",
                criticals.first());
    return nullptr;
  }
  if (local != nullptr) {
    // Without the fatal flag a missing element still gives a pipeline.
    if (pipeline != nullptr) gst_object_unref(pipeline);
    if (link_failed != nullptr)
      *link_failed = g_error_matches(local, GST_PARSE_ERROR, GST_PARSE_ERROR_LINK);
    g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE, "%s", local->message);
    g_error_free(local);
    return nullptr;
  }
  if (pipeline == nullptr) {
    g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE, "the pipeline is empty");
    return nullptr;
  }
  return pipeline;
}

GError *error_from_message(GstMessage *message) {
  GError *gerror = nullptr;
  gchar *debug = nullptr;
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_WARNING)
    gst_message_parse_warning(message, &gerror, &debug);
  else
    gst_message_parse_error(message, &gerror, &debug);
  GError *error = nullptr;
  const gchar *text = gerror != nullptr ? gerror->message : "unknown error";
  // GStreamer's message ("Resource not found.") says what kind of fault it
  // was; the last line of the debug text names the cause ("No such file").
  const gchar *detail = debug != nullptr ? strrchr(debug, '\n') : nullptr;
  if (detail != nullptr && detail[1] != '\0')
    error = g_error_new(KOV_ERROR, KOV_ERROR_STREAM, "%s (%s)", text, detail + 1);
  else
    error = g_error_new(KOV_ERROR, KOV_ERROR_STREAM, "%s", text);
  g_clear_error(&gerror);
  g_free(debug);
  return error;
}

void offer_any_size_formats(KovUnit *unit) {
  kov_unit_begin_format_update(unit);
  kov_unit_remove_all_output_formats(unit);
  guint32 last = 0;
  for (const kov::gst::FormatMapping &m : kov::gst::format_table()) {
    if (m.code == last) continue;  // BGR4 has two rows
    last = m.code;
    kov_unit_add_output_format(unit, m.code, "any size", 0, 0, 0);
  }
  kov_unit_end_format_update(unit);
}

namespace {

// TRUE when every structure of a caps text has a name GStreamer takes (a
// letter, then letters, digits and "/-_.:+"). GStreamer's own parser reports
// a bad name as a critical instead of failing, so it is checked first.
bool caps_names_valid(const gchar *caps_text) {
  gchar **parts = g_strsplit(caps_text, ";", -1);
  bool valid = true;
  for (gchar **part = parts; valid && *part != nullptr; ++part) {
    const gchar *name = *part;
    while (g_ascii_isspace(*name)) ++name;
    gsize length = std::strcspn(name, ",(");
    while (length > 0 && g_ascii_isspace(name[length - 1])) --length;
    if (length == 0) continue;  // an empty structure, or nothing after the last ';'
    const std::string_view view(name, length);
    if (view == "ANY" || view == "EMPTY" || view == "NONE") continue;
    valid = g_ascii_isalpha(name[0]);
    for (gsize i = 1; valid && i < length; ++i)
      valid = g_ascii_isalnum(name[i]) || std::strchr("/-_.:+", name[i]) != nullptr;
  }
  g_strfreev(parts);
  return valid;
}

}  // namespace

GstCaps *source_caps(KovUnit *unit, const gchar *caps_text, GError **error) {
  guint32 codes[32];
  gsize n = 0;
  const guint32 chosen = kov_unit_get_preferred_format(unit);
  for (const kov::gst::FormatMapping &m : kov::gst::format_table()) {
    if ((chosen != 0 && m.code != chosen) || (n > 0 && codes[n - 1] == m.code)) continue;
    if (n < G_N_ELEMENTS(codes)) codes[n++] = m.code;
  }
  GstCaps *caps = kov::gst::caps_for_codes({codes, n});
  if (caps_text == nullptr || caps_text[0] == '\0') return caps;
  GstCaps *wanted = caps_names_valid(caps_text) ? gst_caps_from_string(caps_text) : nullptr;
  if (wanted == nullptr) {
    gst_caps_unref(caps);
    g_set_error(error, KOV_ERROR, KOV_ERROR_BAD_VALUE, "caps \"%s\" do not parse", caps_text);
    return nullptr;
  }
  GstCaps *both = gst_caps_intersect_full(caps, wanted, GST_CAPS_INTERSECT_FIRST);
  gst_caps_unref(caps);
  gst_caps_unref(wanted);
  if (gst_caps_is_empty(both)) {
    gst_caps_unref(both);
    gchar code[11];
    g_set_error(error, KOV_ERROR, KOV_ERROR_FORMAT, "caps \"%s\" leave no format to give%s%s",
                caps_text, chosen != 0 ? " in " : "",
                chosen != 0 ? kov_pixel_format_to_string(chosen, code) : "");
    return nullptr;
  }
  return both;
}

/* ---- source stream ------------------------------------------------------ */

struct SourceStream {
  GstElement *pipeline = nullptr;
  GstAppSink *sink = nullptr;
  int event_fd = -1;
  std::atomic<bool> wake_pending{false};  // the descriptor is (about to be) readable
  gboolean drop = FALSE;                  // only the newest waiting sample counts
  std::mutex lock;           // guards error
  GError *error = nullptr;   // the first error of the pipeline
  GstSample *pending = nullptr;  // pulled ahead, next to hand on
  GstCaps *caps = nullptr;       // of the last sample handed on
  kov::gst::VideoLayout layout;
  gboolean renegotiating = FALSE;
  gboolean finished = FALSE;  // end of stream or error posted
};

namespace {

void signal_event(SourceStream *stream) {
  if (stream->wake_pending.exchange(true)) return;
  const std::uint64_t one = 1;
  // A full counter (never in practice) already makes the descriptor readable.
  if (write(stream->event_fd, &one, sizeof one) < 0) return;
}

GstFlowReturn on_new_sample(GstAppSink *, gpointer data) {
  signal_event(static_cast<SourceStream *>(data));
  return GST_FLOW_OK;
}

void on_eos(GstAppSink *, gpointer data) { signal_event(static_cast<SourceStream *>(data)); }

// Every message is dropped here: the chain's thread needs only the first
// error, and a bus nobody pops would keep the others forever.
GstBusSyncReply on_bus_message(GstBus *, GstMessage *message, gpointer data) {
  auto *stream = static_cast<SourceStream *>(data);
  if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    {
      std::lock_guard<std::mutex> hold(stream->lock);
      if (stream->error == nullptr) stream->error = error_from_message(message);
    }
    signal_event(stream);
  }
  return GST_BUS_DROP;
}

GError *take_error(SourceStream *stream) {
  std::lock_guard<std::mutex> hold(stream->lock);
  GError *error = stream->error;
  stream->error = nullptr;
  return error;
}

bool has_error(SourceStream *stream) {
  std::lock_guard<std::mutex> hold(stream->lock);
  return stream->error != nullptr;
}

void fail_start(KovUnit *unit, SourceStream *stream, GError *error) {
  kov_unit_set_error(unit, error);
  g_error_free(error);
  source_stop(unit, stream);
}

// Microseconds of the buffer's running time, or of the pipeline clock's when
// the buffer has no timestamp.
gint64 running_time_us(SourceStream *stream, GstSample *sample, GstBuffer *buffer) {
  const GstSegment *segment = gst_sample_get_segment(sample);
  GstClockTime t = GST_CLOCK_TIME_NONE;
  if (segment != nullptr && segment->format == GST_FORMAT_TIME && GST_BUFFER_PTS_IS_VALID(buffer))
    t = gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
  if (!GST_CLOCK_TIME_IS_VALID(t)) {
    GstClock *clock = gst_element_get_clock(stream->pipeline);
    if (clock == nullptr) return 0;
    const GstClockTime now = gst_clock_get_time(clock);
    const GstClockTime base = gst_element_get_base_time(stream->pipeline);
    gst_object_unref(clock);
    t = now > base ? now - base : 0;
  }
  return gint64(t / GST_USECOND);
}

// Makes the format of frames from @buffer (under the current caps) the
// unit's output format, when it is not already.
void update_format(KovUnit *unit, SourceStream *stream, GstBuffer *buffer) {
  const gint stride = kov::gst::frame_row_stride(stream->layout, buffer);
  const KovUnitFormat *current = kov_unit_get_output_format(unit);
  if (current != nullptr && current->pixelformat == stream->layout.code &&
      current->width == stream->layout.width && current->height == stream->layout.height &&
      current->row_stride == stride)
    return;
  stream->renegotiating = TRUE;
  kov_unit_begin_format_update(unit);
  kov_unit_remove_all_output_formats(unit);
  kov_unit_add_output_format(unit, stream->layout.code, nullptr, stream->layout.width,
                             stream->layout.height, stride);
  kov_unit_end_format_update(unit);
  stream->renegotiating = FALSE;
}

// Takes the caps of @sample as the stream's; FALSE when they are not a
// format the unit can give.
gboolean take_caps(SourceStream *stream, GstSample *sample) {
  GstCaps *caps = gst_sample_get_caps(sample);
  if (caps == nullptr) return FALSE;
  if (caps == stream->caps || (stream->caps != nullptr && gst_caps_is_equal(caps, stream->caps)))
    return TRUE;
  kov::gst::VideoLayout layout;
  if (!kov::gst::layout_from_caps(caps, &layout)) return FALSE;
  stream->layout = layout;
  gst_caps_replace(&stream->caps, caps);
  return TRUE;
}

}  // namespace

SourceStream *source_start(KovUnit *unit, GstElement *pipeline, GstElement *sink,
                           const SourceOptions &options) {
  auto *stream = new SourceStream;
  stream->pipeline = pipeline;
  stream->sink = GST_APP_SINK(sink);
  stream->event_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stream->event_fd < 0) {
    fail_start(unit, stream,
               g_error_new(KOV_ERROR, KOV_ERROR_STREAM, "no event descriptor: %s",
                           g_strerror(errno)));
    return nullptr;
  }
  // The last sample would hold a buffer the source may want back.
  g_object_set(sink, "sync", options.sync, "enable-last-sample", FALSE, "max-buffers", 2,
               "drop", FALSE, nullptr);
  GstAppSinkCallbacks callbacks = {};
  callbacks.eos = on_eos;
  callbacks.new_sample = on_new_sample;
  gst_app_sink_set_callbacks(stream->sink, &callbacks, stream, nullptr);
  GstBus *bus = gst_element_get_bus(pipeline);
  gst_bus_set_sync_handler(bus, on_bus_message, stream, nullptr);
  gst_object_unref(bus);

  const GstStateChangeReturn change = gst_element_set_state(pipeline, GST_STATE_PLAYING);
  if (change == GST_STATE_CHANGE_FAILURE) {
    GError *error = take_error(stream);
    fail_start(unit, stream,
               error != nullptr ? error
                                : g_error_new(KOV_ERROR, KOV_ERROR_STREAM,
                                              "the pipeline cannot start"));
    return nullptr;
  }
  // A live source (a camera, a network stream) does not wait for a slow
  // chain: with "drop" only the newest frame waits.
  if (change == GST_STATE_CHANGE_NO_PREROLL && options.drop) {
    g_object_set(sink, "max-buffers", 1, "drop", TRUE, nullptr);
    stream->drop = TRUE;
  }

  // The first frame says what the stream is.
  const gint64 deadline = g_get_monotonic_time() + gint64(options.timeout_s) * G_USEC_PER_SEC;
  GstSample *first = nullptr;
  while (first == nullptr) {
    first = gst_app_sink_try_pull_sample(stream->sink, 50 * GST_MSECOND);
    if (first != nullptr) break;
    GError *error = take_error(stream);
    if (error == nullptr && gst_app_sink_is_eos(stream->sink))
      error = g_error_new(KOV_ERROR, KOV_ERROR_STREAM, "the pipeline ended without a frame");
    if (error == nullptr && g_get_monotonic_time() >= deadline)
      error = g_error_new(KOV_ERROR, KOV_ERROR_STREAM, "no frame within %d s", options.timeout_s);
    if (error != nullptr) {
      fail_start(unit, stream, error);
      return nullptr;
    }
  }
  stream->pending = first;
  if (!take_caps(stream, first)) {
    gchar *text = gst_sample_get_caps(first) != nullptr
                      ? gst_caps_to_string(gst_sample_get_caps(first))
                      : g_strdup("none");
    GError *error =
        g_error_new(KOV_ERROR, KOV_ERROR_FORMAT, "the pipeline gives frames of caps %s", text);
    g_free(text);
    fail_start(unit, stream, error);
    return nullptr;
  }
  update_format(unit, stream, gst_sample_get_buffer(first));
  kov_unit_set_event_fd(unit, stream->event_fd);
  return stream;
}

namespace {

// The next sample to hand on: the one pulled ahead, or the newest waiting
// one when only the newest counts.
GstSample *next_sample(SourceStream *stream) {
  GstSample *sample = stream->pending;
  stream->pending = nullptr;
  if (sample == nullptr || stream->drop) {
    while (GstSample *newer = gst_app_sink_try_pull_sample(stream->sink, 0)) {
      if (sample != nullptr) gst_sample_unref(sample);
      sample = newer;
      if (!stream->drop) break;
    }
  }
  return sample;
}

// With no frame waiting: posts the pipeline's error or its end, once.
void post_end(KovUnit *unit, SourceStream *stream) {
  GError *error = take_error(stream);
  if (error != nullptr) {
    stream->finished = TRUE;
    kov_unit_post_error(unit, error);
    g_error_free(error);
  } else if (gst_app_sink_is_eos(stream->sink)) {
    stream->finished = TRUE;
    kov_unit_post_eos(unit);
  }
}

}  // namespace

gboolean source_produce(KovUnit *unit, SourceStream *stream) {
  if (stream == nullptr || stream->finished) return FALSE;
  // Events after this point make the descriptor readable again.
  if (stream->wake_pending.exchange(false)) {
    std::uint64_t count = 0;
    if (read(stream->event_fd, &count, sizeof count) < 0 && errno != EAGAIN) return FALSE;
  }

  GstSample *sample = next_sample(stream);
  if (sample == nullptr) {
    // Frames first: the end of the stream or an error only once none wait.
    post_end(unit, stream);
    return FALSE;
  }

  GstBuffer *buffer = gst_sample_get_buffer(sample);
  GError *error = nullptr;
  KovFrameBuffer *frame = nullptr;
  if (buffer == nullptr || !take_caps(stream, sample))
    error = g_error_new(KOV_ERROR, KOV_ERROR_FORMAT, "the pipeline gave a sample without a frame");
  else
    frame = kov::gst::frame_from_buffer(stream->layout, buffer, &error);
  if (frame == nullptr) {
    gst_sample_unref(sample);
    stream->finished = TRUE;
    kov_unit_post_error(unit, error);
    g_error_free(error);
    return FALSE;
  }
  frame->timestamp = running_time_us(stream, sample, buffer);
  update_format(unit, stream, buffer);
  gst_sample_unref(sample);
  // The next one is pulled before this frame goes: a frame handler may stop
  // the unit, and the stream with it. With none waiting, an end or error
  // that came already needs a wake-up of its own.
  stream->pending = gst_app_sink_try_pull_sample(stream->sink, 0);
  if (stream->pending == nullptr && (has_error(stream) || gst_app_sink_is_eos(stream->sink)))
    signal_event(stream);
  kov_unit_produce_frame(unit, frame, kov_unit_get_output_format(unit));
  g_object_unref(frame);
  return TRUE;
}

gint64 source_next_frame_time(SourceStream *stream) {
  return stream != nullptr && stream->pending != nullptr && !stream->finished ? 0 : G_MAXINT64;
}

void source_stop(KovUnit *unit, SourceStream *stream) {
  if (stream == nullptr) return;
  if (stream->event_fd >= 0 && kov_unit_get_event_fd(unit) == stream->event_fd)
    kov_unit_set_event_fd(unit, -1);
  // Joins GStreamer's threads: no callback runs after this.
  gst_element_set_state(stream->pipeline, GST_STATE_NULL);
  GstBus *bus = gst_element_get_bus(stream->pipeline);
  gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
  gst_object_unref(bus);
  gst_object_unref(stream->pipeline);
  if (stream->pending != nullptr) gst_sample_unref(stream->pending);
  gst_caps_replace(&stream->caps, nullptr);
  g_clear_error(&stream->error);
  if (stream->event_fd >= 0) close(stream->event_fd);
  delete stream;
}

gboolean source_is_renegotiating(SourceStream *stream) {
  return stream != nullptr && stream->renegotiating;
}

}  // namespace kov::gstio
