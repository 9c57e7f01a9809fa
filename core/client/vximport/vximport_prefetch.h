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
// Used from one thread (the task queue's); the jobs run on threads of their own.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

#include "hbimg.h"
#include "vximport.h"

class VXImportPrefetch {
 public:
  // At most `capacity` pictures are made ahead at once.
  explicit VXImportPrefetch(int32_t capacity);
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

 private:
  struct Job;
  int32_t m_capacity;
  std::list<std::unique_ptr<Job>> m_jobs;
};
