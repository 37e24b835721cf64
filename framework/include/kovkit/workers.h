/* SPDX-License-Identifier: LGPL-2.1-or-later */
/* The framework's worker pool: a unit splits the rows of a frame into bands
 * and has them worked on by several cores at once. The call returns when
 * every band is done; the calling thread works on bands itself, so the unit's
 * operation still runs, and ends, on the chain's thread. The pool's threads
 * are made on first need, as many as the largest request asked for (one
 * fewer than the bands, at most one fewer than the processors), and live as
 * long as the process. Any thread may call, several at a time. */
#ifndef KOVKIT_WORKERS_H
#define KOVKIT_WORKERS_H

#include <glib.h>

G_BEGIN_DECLS

/* Works on rows first_row .. first_row + n_rows - 1 of the caller's picture. */
typedef void (*KovWorkersBandFunc)(gint first_row, gint n_rows, gpointer user_data);

/* Runs @func on bands that together cover rows 0 .. @n_rows - 1, once each,
 * and returns when all are done. Every band but the last starts and ends on
 * a multiple of @granule (2 keeps the cells of a Bayer mosaic or the chroma
 * rows of 4:2:0 whole); the last one also takes the rows that are left over.
 * There are @n_bands bands, or fewer when the rows do not make that many
 * granules; bands differ in size by at most one granule. An @n_bands of 1 or
 * less calls @func once, on this thread, with every row; so does a @granule
 * below 1. Nothing is called for @n_rows below 1. */
void kov_workers_run_bands(gint n_bands, gint n_rows, gint granule, KovWorkersBandFunc func,
                           gpointer user_data);

/* Number of processors this process may run on (at least 1): more bands than
 * that gain nothing. */
gint kov_workers_get_n_processors(void);

G_END_DECLS

#endif
