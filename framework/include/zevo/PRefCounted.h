// Reference counting for a framework interface, written once: incRef and
// decRef over a synchronised counter. The last decRef calls lastReference(),
// which deletes the object; a class owned elsewhere (a test double, a member
// of another object) overrides it to do nothing.
//
// Threading: references may be taken and given back on any thread.
#pragma once

#include "zevo/PCounter.h"

template <class I>
class PRefCounted : public I {
 public:
  void incRef() override { ++fReferences; }
  void decRef() override {
    if (fReferences.change(-1) == 0) lastReference();
  }
  int references() const { return fReferences.value(); }

 protected:
  PRefCounted() : fReferences(0) {}
  virtual ~PRefCounted() = default;
  virtual void lastReference() { delete this; }

 private:
  PCounterSync fReferences;
};
