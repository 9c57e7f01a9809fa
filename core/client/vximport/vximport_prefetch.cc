// Renditions made ahead on helper threads.
#include "vximport_prefetch.h"

#include <thread>

#include "hbstream.h"

struct VXImportPrefetch::Job {
  std::string path;
  uint32_t which = 0;
  VXImportFileSignature before;
  int32_t rc = BR_EUNSPEC;
  HBImgRenditions renditions;
  std::thread thread;

  void run() {
    // The file as it was before it was read; a change after this shows in the signature.
    rc = vximport__fileSignature(path.c_str(), &before);
    HBRef<IHBStream> in;
    if (rc >= 0) rc = hbstream__openFile(in.out(), path.c_str(), HBFILE_O_READ);
    if (rc >= 0)
      rc = hbimg__makeRenditions(in.get(), HBIMG_ORIENT_FROM_PICTURE, which, &renditions);
    else
      before = VXImportFileSignature();
  }
};

VXImportPrefetch::VXImportPrefetch(int32_t capacity) : m_capacity(capacity) {}

VXImportPrefetch::~VXImportPrefetch() {
  clear();
}

bool VXImportPrefetch::start(const std::string &path, uint32_t which) {
  if (static_cast<int32_t>(m_jobs.size()) >= m_capacity) return false;
  auto job = std::make_unique<Job>();
  job->path = path;
  job->which = which;
  Job *j = job.get();
  try {
    j->thread = std::thread([j] { j->run(); });
  } catch (...) {
    return false;  // no thread to be had: the import makes the renditions itself
  }
  m_jobs.push_back(std::move(job));
  return true;
}

bool VXImportPrefetch::take(const std::string &path, uint32_t which,
                            const VXImportFileSignature &now, HBImgRenditions *out, int32_t *rc) {
  for (auto it = m_jobs.begin(); it != m_jobs.end(); ++it) {
    if ((*it)->path != path) continue;
    std::unique_ptr<Job> job = std::move(*it);
    m_jobs.erase(it);
    job->thread.join();
    if (job->which != which || !(job->before == now)) return false;
    *rc = job->rc;
    *out = std::move(job->renditions);
    return true;
  }
  return false;
}

void VXImportPrefetch::clear() {
  for (auto &job : m_jobs) job->thread.join();
  m_jobs.clear();
}
