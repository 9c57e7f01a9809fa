// Renditions made ahead of their upload.
//
// Decoding a 12-megapixel photo costs far more than sending it to a drive nearby, and the
// service takes a while to store each stream. The import walk therefore starts the "pv" and
// "tn" of the next pictures on helper threads while the current one goes up; the single-file
// import then takes them instead of decoding again. What it takes is what the file held when
// the import of it began: renditions made from a file that has changed since are thrown away.
// A job that is never taken is waited for and dropped with its files (temporary files,
// deleted on release).
//
// Memory, not the count of jobs, bounds the work ahead: each job reads its picture's header
// first (hbimg__probe) and decodes only once the memory it will take fits in what the running
// jobs leave of the budget; a picture larger than the whole budget runs alone. A folder of
// 50-megapixel photos of every kind is decoded ahead one or two at a time, small JPEGs three.
//
// Used from one thread (the task queue's); the jobs run on threads of their own.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "hbimg.h"
#include "vximport.h"

// The decode memory the pictures made ahead may hold together.
constexpr int64_t VXIMPORT_PREFETCH_BUDGET = int64_t{160} << 20;

class VXImportPrefetch {
 public:
  // At most `capacity` pictures are started ahead, decoded together only while their decode
  // memory (as hbimg__probe tells it) stays within `budgetBytes`.
  explicit VXImportPrefetch(int32_t capacity, int64_t budgetBytes = VXIMPORT_PREFETCH_BUDGET);
  ~VXImportPrefetch();
  VXImportPrefetch(const VXImportPrefetch &) = delete;
  VXImportPrefetch &operator=(const VXImportPrefetch &) = delete;

  // Starts the renditions `which` (HBIMG_RENDITION_*) of the picture `path`; false when
  // `capacity` jobs are already out (the import then makes them itself).
  bool start(const std::string &path, uint32_t which);
  // The renditions made for `path`, waiting for them: true with the result in *rc and *out
  // (as hbimg__makeRenditions gives them) when a job for those renditions ran over the file as
  // `now` describes it; false otherwise, the job's files dropped.
  bool take(const std::string &path, uint32_t which, const VXImportFileSignature &now,
            HBImgRenditions *out, int32_t *rc);
  // Drops every job that was not taken.
  void clear();

  // The most decode memory the jobs held at once so far (as estimated), for tests.
  int64_t peakBytes() const;

 private:
  struct Job;
  // The decode memory shared by the jobs.
  struct Budget {
    std::mutex lock;
    std::condition_variable freed;
    int64_t limit = 0, used = 0, peak = 0;
    int32_t running = 0;
    void acquire(int64_t bytes);
    void release(int64_t bytes);
  };
  int32_t m_capacity;
  std::list<std::unique_ptr<Job>> m_jobs;
  std::unique_ptr<Budget> m_budget;
};
