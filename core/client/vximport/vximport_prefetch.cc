// Renditions made ahead on helper threads.
#include "vximport_prefetch.h"

#include <thread>

#include "hbstream.h"

void VXImportPrefetch::Budget::acquire(int64_t bytes) {
  std::unique_lock<std::mutex> hold(lock);
  // Alone, any picture may run; with others, only within the budget.
  freed.wait(hold, [&] { return running == 0 || used + bytes <= limit; });
  used += bytes;
  ++running;
  if (used > peak) peak = used;
}

void VXImportPrefetch::Budget::release(int64_t bytes) {
  {
    std::lock_guard<std::mutex> hold(lock);
    used -= bytes;
    --running;
  }
  freed.notify_all();
}

struct VXImportPrefetch::Job {
  Budget *budget = nullptr;
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
    if (rc < 0) {
      before = VXImportFileSignature();
      return;
    }
    // What the decode will hold, from the header; a picture whose header does not read costs
    // next to nothing (its decode fails at the same place).
    HBImgProbe probe;
    const int64_t bytes = hbimg__probe(in.get(), &probe) >= 0 ? probe.decodeBytes : 0;
    if (in->seek(0, HBSTREAM_SEEK_SET) != 0) {
      rc = BR_EIO;
      return;
    }
    budget->acquire(bytes);
    rc = hbimg__makeRenditions(in.get(), HBIMG_ORIENT_FROM_PICTURE, which, &renditions);
    budget->release(bytes);
  }
};

VXImportPrefetch::VXImportPrefetch(int32_t capacity, int64_t budgetBytes)
    : m_capacity(capacity), m_budget(std::make_unique<Budget>()) {
  m_budget->limit = budgetBytes;
}

VXImportPrefetch::~VXImportPrefetch() {
  clear();
}

bool VXImportPrefetch::start(const std::string &path, uint32_t which) {
  if (static_cast<int32_t>(m_jobs.size()) >= m_capacity) return false;
  auto job = std::make_unique<Job>();
  job->budget = m_budget.get();
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

int64_t VXImportPrefetch::peakBytes() const {
  std::lock_guard<std::mutex> hold(m_budget->lock);
  return m_budget->peak;
}
