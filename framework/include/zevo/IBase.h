// Root of every framework interface.
//
// An object stays alive while references are held and frees itself on its
// last decRef(). IBase declares no destructor: objects are never deleted
// through an interface pointer.
#pragma once

class IBase {
 public:
  virtual void incRef() = 0;  // slot 0
  virtual void decRef() = 0;  // slot 1
};
