// RPC calls: a method and named arguments out, a map of named results back.
//
// HBRPCGeneric owns the transport (HBSoap: SOAP, or packet messages for "/pktm/" addresses), the
// result map and the fault state of its last call. A call blocks its thread until the answer is
// read. It turns each answer into one of three outcomes: 0 (success), -15 with isFault() set (a
// service fault, or an HTTP status that is not 2xx), or the transport's negative code with the
// fault flag clear (a local failure). One thread uses a call object at a time. Log tag "HBRPC".
#pragma once

#include <cstdint>

#include "brerror.h"
#include "hbmap.h"
#include "hbobj.h"
#include "hbpktmessage.h"
#include "hbsoap.h"

struct IHBURL;
struct IHBHTTPConnPool;

// Registers the process-wide pool that new call objects use (the pool takes a reference of its
// own; the previous one is released); null unregisters.
void hbrpc__setConnPool(IHBHTTPConnPool *pool);
// The registered pool, else the process-wide pool of hbhttpconnpool__setDefault, with one
// reference for the caller; null when there is neither.
IHBHTTPConnPool *hbrpc__getConnPool();

class HBRPCGeneric final : public HBObject<HBRPCGeneric, IHBObj> {
 public:
  // A call object for `url` (referenced) using `pool` (referenced; null: one direct connection
  // kept open for the object's life). One reference for the caller.
  HB_NODISCARD static int32_t create(IHBURL *url, IHBHTTPConnPool *pool, HBRPCGeneric **out);
  HB_NODISCARD static int32_t create(IHBURL *url, IHBHTTPConnPool *pool, HBRef<HBRPCGeneric> &out);

  // Replaces the endpoint and the transport (both referenced); 0, or -19.
  HB_NODISCARD int32_t setURL(IHBURL *url, IHBHTTPConnPool *pool);

  // A call with text arguments given as name, value pairs, ended by a null name.
  HB_NODISCARD int32_t call(const char *method, ...) __attribute__((sentinel));
  // A call with `count` typed arguments or, when `args` is null, the pair list `pairs` (name,
  // value, ..., null name). 0, -15 (fault), or a negative transport code.
  HB_NODISCARD int32_t callArgs(const char *method, int32_t count, const HBRPCArgument *args,
                                const char *const *pairs);

  // Element names whose children always form a list; the table stays the caller's and must
  // outlive the next call.
  void setListTypes(const HBSoapListType *table);

  // The text under `name` in the result map (borrowed until the next call), or null.
  const char *getArgmentByName(const char *name);
  // The iterator or map under `name` with one reference for the caller, or null.
  IHBIter *getArgmentIterator(const char *name);
  HBMap *getArgmentMap(const char *name);
  // The result map of the last call (borrowed; callers that keep it take a reference). Each
  // call starts a new map, so values referenced from an earlier one stay valid.
  HBMap *getResultMap() const { return m_result; }

  bool isFault() const { return m_fault; }
  // -1 when the last call was not a fault; else "errorCode" (base 0), or 400 without one.
  int32_t getErrorCode();
  // -1 when the last call was not a fault; else writes the VXError text into `buffer` (256
  // bytes, cut to fit) and returns the formatted length.
  int32_t getErrorXML(char *buffer);
  // The status or code of the last exchange.
  int32_t lastResult() const { return m_last; }

  HB_NODISCARD int32_t getifc(int32_t ifc, void **out) override;

 private:
  friend class HBObject<HBRPCGeneric, IHBObj>;
  HBRPCGeneric() = default;
  ~HBRPCGeneric() override;
  int32_t newResultMap();

  HBSoap *m_soap = nullptr;
  IHBHTTPConnPool *m_pool = nullptr;
  IHBURL *m_url = nullptr;
  HBMap *m_result = nullptr;
  const HBSoapListType *m_types = nullptr;
  bool m_fault = false;
  int32_t m_last = 0;
};

// A call object for `url` with the pool of hbrpc__getConnPool (logging a warning and using
// direct connections when there is none). One reference for the caller; always 0 unless memory
// is short.
HB_NODISCARD int32_t hbrpc__new(IHBURL *url, HBRPCGeneric **out);
