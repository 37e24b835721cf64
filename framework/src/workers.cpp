// SPDX-License-Identifier: LGPL-2.1-or-later
// The worker pool: bands of rows worked on by several threads at once. A
// request is a job on the caller's stack; the caller queues one ticket per
// helper it wants, then claims bands itself until none are left. A pool
// thread that takes a ticket claims bands the same way. Before returning, the
// caller withdraws the tickets nobody took and waits until the bands are done
// and no pool thread still looks at the job. Since the caller works through
// whatever nobody else claimed, a busy pool (another chain's request, a band
// that asks for bands itself) slows a request down but never blocks it.
#include <kovkit/workers.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

struct Job {
  KovWorkersBandFunc func;
  gpointer user_data;
  gint n_rows;
  gint granule;
  gint granules;  // whole granules in n_rows
  gint n_bands;
  std::atomic<gint> next_band{0};
  // Guarded by the pool's mutex:
  gint bands_done = 0;
  gint helpers = 0;  // pool threads working on the job
};

// Band i covers granules [i * granules / n_bands, (i + 1) * granules / n_bands);
// the last band runs to the end of the rows.
void run_band(Job &job, gint band) {
  const gint64 first = gint64(band) * job.granules / job.n_bands;
  const gint64 end = gint64(band + 1) * job.granules / job.n_bands;
  const gint first_row = gint(first * job.granule);
  const gint end_row = band + 1 == job.n_bands ? job.n_rows : gint(end * job.granule);
  job.func(first_row, end_row - first_row, job.user_data);
}

// Claims and runs bands until none are left; returns how many it ran.
gint work_on(Job &job) {
  gint done = 0;
  for (;;) {
    const gint band = job.next_band.fetch_add(1, std::memory_order_relaxed);
    if (band >= job.n_bands) return done;
    run_band(job, band);
    ++done;
  }
}

// Never destroyed: pool threads wait on it for as long as the process runs.
struct Pool {
  std::mutex mutex;
  std::condition_variable ticket_queued;
  std::condition_variable job_released;
  std::deque<Job *> tickets;
  gint n_threads = 0;
};

Pool &pool() {
  static Pool *p = new Pool;
  return *p;
}

void pool_thread(Pool *p) {
  std::unique_lock<std::mutex> lock(p->mutex);
  for (;;) {
    p->ticket_queued.wait(lock, [p] { return !p->tickets.empty(); });
    Job *job = p->tickets.front();
    p->tickets.pop_front();
    ++job->helpers;
    lock.unlock();
    const gint done = work_on(*job);
    lock.lock();
    job->bands_done += done;
    --job->helpers;
    p->job_released.notify_all();
  }
}

// Grows the pool to `wanted` threads (fewer when a thread cannot be made).
void ensure_threads(Pool &p, gint wanted) {
  while (p.n_threads < wanted) {
    try {
      std::thread(pool_thread, &p).detach();
    } catch (const std::system_error &) {
      return;
    }
    ++p.n_threads;
  }
}

}  // namespace

gint kov_workers_get_n_processors(void) {
  static const gint n = std::max(1, gint(g_get_num_processors()));
  return n;
}

void kov_workers_run_bands(gint n_bands, gint n_rows, gint granule, KovWorkersBandFunc func,
                           gpointer user_data) {
  g_return_if_fail(func != nullptr);
  if (n_rows < 1) return;
  if (n_bands <= 1 || granule < 1) {
    func(0, n_rows, user_data);
    return;
  }
  Job job;
  job.func = func;
  job.user_data = user_data;
  job.n_rows = n_rows;
  job.granule = granule;
  job.granules = n_rows / granule;
  job.n_bands = std::min(n_bands, job.granules);
  if (job.n_bands <= 1) {
    func(0, n_rows, user_data);
    return;
  }
  const gint helpers = std::min(job.n_bands, kov_workers_get_n_processors()) - 1;
  Pool &p = pool();
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    ensure_threads(p, helpers);
    for (gint i = 0; i < helpers; ++i) p.tickets.push_back(&job);
  }
  if (helpers > 0) p.ticket_queued.notify_all();
  const gint done = work_on(job);
  std::unique_lock<std::mutex> lock(p.mutex);
  p.tickets.erase(std::remove(p.tickets.begin(), p.tickets.end(), &job), p.tickets.end());
  job.bands_done += done;
  p.job_released.wait(lock, [&job] { return job.helpers == 0 && job.bands_done == job.n_bands; });
}
