// Where the drive helper's drive comes from: the drive named on the command line, the user's
// first drive, or the roots of the albums shared with the user, each a store over the service.
#pragma once

#include <mutex>
#include <string>

#include "tfsdrive.h"

class TFSServiceSource final : public TFSSource {
 public:
  // `device` and `service` may be empty: the user's first drive.
  TFSServiceSource(std::string token, std::string device, std::string service, bool shares);
  int32_t open(std::vector<TFSTop> *out) override;
  bool shares() override { return m_shares; }
  int32_t space(int64_t *free, int64_t *total) override;
  // The drive chosen (known once open succeeded) and its name, for the notice.
  void drive(std::string *device, std::string *service, std::string *name);

 private:
  const std::string m_token;
  const bool m_shares;
  std::mutex m_lock;
  std::string m_device, m_service, m_name;
};
