// Internals shared by the picture decoders.
#pragma once

#include <new>

#include "hbimg.h"

namespace hbimg_detail {

// The object plumbing of a decoder class: it answers only as IHBObj.
template <class Derived>
class DecoderObject : public HBObject<Derived, IHBImgDecoder> {
 public:
  int32_t getifc(int32_t ifc, void **out) override {
    if (!out) return BR_EINVAL;
    if (ifc == HBIFC_OBJ) return this->template offer<IHBObj>(out);
    return BR_ENOENT;
  }
};

// Makes a decoder of class `Derived`; hands one reference to *out.
template <class Derived>
int32_t newDecoder(IHBImgDecoder **out) {
  if (!out) return BR_EINVAL;
  IHBImgDecoder *d = new (std::nothrow) Derived;
  if (!d) return BR_ENOMEM;
  *out = d;
  return BR_OK;
}

}  // namespace hbimg_detail
