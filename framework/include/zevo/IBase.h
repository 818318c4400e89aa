// Root of every framework interface.
//
// Ownership: an object stays alive while references are held and frees
// itself on its last decRef(). IBase declares no destructor: objects are
// never deleted through an interface pointer. A pointer handed out by the
// framework (zevoGetInstance, notify's event) carries no reference for the
// receiver: take one (PBaseptr) to keep the object beyond the call.
//
// Threading: incRef and decRef of the framework's objects may be called from
// any thread, several at once. An object a plug-in hands to the framework
// (its plug-in object, its listener) must allow the same: the framework
// takes and gives back references from its workers.
#pragma once

class IBase {
 public:
  virtual void incRef() = 0;  // slot 0: never fails
  virtual void decRef() = 0;  // slot 1: the last one frees the object; its pointer is invalid afterwards
};
