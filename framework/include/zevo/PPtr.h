// Shared-ownership pointers.
//
// PPtr<T> owns an object created with new (delete kind 0) or new[] (kind 1);
// any other kind leaves the object alive when the last copy goes. PBaseptr<T>
// holds a framework interface: the copies that share one counter hold exactly
// one incRef() on the object and give it back with one decRef().
//
// Threading: the counter is a plain int. Copies that share a counter must be
// made, assigned and dropped on one thread at a time (under their owner's lock).
// The one exception is reading a pointer while its owner assigns it:
// assignments store the object pointer atomically, a new object with release
// ordering, and getPublished() loads it with acquire ordering, so that a
// reader on another thread sees either null or an object set up before it was
// handed over (the owner's reference to it is taken just after).
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
    if (iObject) {
      fCounter = counter;
      publish(iObject);
      newCounter();
      *fCounter = 1;
    }
    return *this;
  }

  PPtr& operator=(const PPtr& iOther) {
    if (this == &iOther) return *this;
    if (iOther.fObject && iOther.fCounter == fCounter) return *this;  // same group
    release();
    fCounter = iOther.fCounter;
    fDeleteKind = iOther.fDeleteKind;
    if (iOther.fObject) {
      ++*fCounter;
      publish(iOther.fObject);
    }
    return *this;
  }

  T* operator->() const { return fObject; }
  T& operator*() const { return *fObject; }
  T* get() const { return fObject; }
  // The held object, for a thread other than the one that assigns the
  // pointer (see Threading above). Only the pointer is read: the object's
  // lifetime is the caller's concern.
  T* getPublished() const { return __atomic_load_n(&fObject, __ATOMIC_ACQUIRE); }
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
  // use after free that no path reaches; nor, past the atomic store of the
  // pointer, the delete kind: it warns that an array is freed with delete,
  // which kind 1 never does.)
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuse-after-free"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif
  void release() {
    if (fObject) {
      if (--*fCounter == 0) {
        freePtr();
        delete fCounter;
      }
    }
    __atomic_store_n(&fObject, static_cast<T*>(nullptr), __ATOMIC_RELAXED);
    fCounter = nullptr;
  }
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

  // Hands a set-up object to readers on other threads (getPublished).
  void publish(T* iObject) { __atomic_store_n(&fObject, iObject, __ATOMIC_RELEASE); }

  T* fObject;      // the pointee; null for an empty pointer; written atomically once constructed
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
