/* SPDX-License-Identifier: LGPL-2.1-or-later */
// kovkit-run's run of one chain on the chain driver.
#ifndef KOVKIT_TOOLS_RUN_LOOP_H
#define KOVKIT_TOOLS_RUN_LOOP_H

#include <glib.h>

constexpr int kExitOk = 0;
constexpr int kExitOutputError = 1;
constexpr int kExitUsage = 2;

struct RunOptions {
  const char *text = nullptr;          // the chain
  gchar **settings = nullptr;          // --set ID.CONTROL=VALUE
  gint64 frames = 0;                   // -n, 0: no limit
  double seconds = 0;                  // --seconds, 0: no limit
  gboolean meta = FALSE;               // --meta
  const gchar *gl_pattern = nullptr;   // --gl-snapshot
  gint gl_every = 1;                   // --gl-every
};

// Prints "kovkit-run: MESSAGE" on standard error; returns kExitUsage.
int fail(const char *format, ...) G_GNUC_PRINTF(1, 2);

// Loads, starts and runs the chain until its last unit produced the frames
// asked for, the time is up, the chain ends (every source at its end),
// Ctrl-C, or a unit posts an error (printed as "<unit>: <message>", exit
// status 1). Prints the summary line; returns the exit status.
int run_chain(const RunOptions &options);

#endif
