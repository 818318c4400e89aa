// Shared-ownership pointers.
//
// PPtr<T> owns an object created with new (delete kind 0) or new[] (kind 1);
// any other kind leaves the object alive when the last copy goes. PBaseptr<T>
// holds a framework interface: the copies that share one counter hold exactly
// one incRef() on the object and give it back with one decRef().
//
// Threading: the counter is a plain int. Copies that share a counter must be
// made, assigned and dropped on one thread at a time (under their owner's lock).
#pragma once

#include <type_traits>

template <class T>
class PPtr {
 public:
  PPtr() : fObject(nullptr), fCounter(nullptr), fDeleteKind(0) {}

  PPtr(T* iObject, int iDeleteKind = 0) : fObject(nullptr), fCounter(nullptr), fDeleteKind(iDeleteKind) {
    // Only PPtr's own newCounter() is reachable from a base constructor;
    // PBaseptr takes its reference in its own constructor. The counter is
    // made first: if that fails, the pointer is still empty and consistent.
    if (iObject) {
      fCounter = new int(0);
      fObject = iObject;
      newCounter();
      *fCounter = 1;
    }
  }

  PPtr(const PPtr& iOther) : fObject(iOther.fObject), fCounter(iOther.fCounter), fDeleteKind(iOther.fDeleteKind) {
    if (fObject) ++*fCounter;
  }

  // Slot order: destructor, newCounter(), freePtr().
  virtual ~PPtr() {
    release();
    fDeleteKind = 0;
  }

  PPtr& operator=(T* iObject) {
    if (iObject == fObject) return *this;
    // The new counter first: if it cannot be made, nothing has changed.
    int* counter = iObject ? new int(0) : nullptr;
    release();
    fObject = iObject;
    if (fObject) {
      fCounter = counter;
      newCounter();
      *fCounter = 1;
    }
    return *this;
  }

  PPtr& operator=(const PPtr& iOther) {
    if (this == &iOther) return *this;
    if (iOther.fObject && iOther.fCounter == fCounter) return *this;  // same group
    release();
    fObject = iOther.fObject;
    fCounter = iOther.fCounter;
    fDeleteKind = iOther.fDeleteKind;
    if (fObject) ++*fCounter;
    return *this;
  }

  T* operator->() const { return fObject; }
  T& operator*() const { return *fObject; }
  T* get() const { return fObject; }
  bool isNull() const { return fObject == nullptr; }
  explicit operator bool() const { return fObject != nullptr; }

  // Number of copies sharing the object (0 for an empty pointer).
  int useCount() const { return fCounter ? *fCounter : 0; }
  int deleteKind() const { return fDeleteKind; }

 protected:
  virtual void newCounter() {}

  virtual void freePtr() {
    if (!fObject) return;
    if (fDeleteKind == 0) {
      destroyOne(fObject);
    } else if (fDeleteKind == 1) {
      destroyArray(fObject);
    }
  }

  // Gives up this copy's share: the last copy frees the object and the counter.
  // (GCC 12 cannot follow a counter shared by several copies and warns of a
  // use after free that no path reaches.)
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#endif
  void release() {
    if (fObject) {
      if (--*fCounter == 0) {
        freePtr();
        delete fCounter;
      }
    }
    fObject = nullptr;
    fCounter = nullptr;
  }
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

  T* fObject;      // the pointee; null for an empty pointer
  int* fCounter;   // shared count; null exactly when fObject is null
  int fDeleteKind; // 0 delete, 1 delete[], other: never freed here

 private:
  // An interface without a virtual destructor (IBase and its kin) is released
  // as storage only: its destructor is trivial and nothing else can run.
  static constexpr bool kStorageOnly = std::is_polymorphic<T>::value && !std::has_virtual_destructor<T>::value;

  static void destroyOne(T* iObject) {
    if constexpr (kStorageOnly) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdelete-non-virtual-dtor"
      delete iObject;
#pragma GCC diagnostic pop
    } else {
      delete iObject;
    }
  }

  static void destroyArray(T* iObject) {
    if constexpr (kStorageOnly) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdelete-non-virtual-dtor"
      delete[] iObject;
#pragma GCC diagnostic pop
    } else {
      delete[] iObject;
    }
  }
};

template <class T>
class PBaseptr : public PPtr<T> {
 public:
  PBaseptr() : PPtr<T>() {}

  PBaseptr(T* iObject) : PPtr<T>() { PPtr<T>::operator=(iObject); }

  PBaseptr(const PBaseptr& iOther) : PPtr<T>(iOther) {}

  ~PBaseptr() override {
    // Released here, while freePtr() still dispatches to decRef().
    this->release();
    this->fDeleteKind = 0;
  }

  PBaseptr& operator=(T* iObject) {
    PPtr<T>::operator=(iObject);
    return *this;
  }

  PBaseptr& operator=(const PBaseptr& iOther) {
    PPtr<T>::operator=(iOther);
    return *this;
  }

 protected:
  void newCounter() override {
    if (this->fObject) this->fObject->incRef();
  }

  void freePtr() override {
    if (this->fObject) this->fObject->decRef();
  }
};
