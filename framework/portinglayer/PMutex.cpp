#include "zevo/PMutex.h"

#include "zevo/PErrors.h"

PMutex::PMutex() : fMutex(), fInitialised(false) {}

PMutex::~PMutex() {
  if (fInitialised) close();
}

int PMutex::init(bool iCheckOwner) {
  if (fInitialised) return PERR_MUTEX;  // initialising twice would lose the first
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) return PERR_MUTEX;
  int rc = pthread_mutexattr_settype(&attributes, iCheckOwner ? PTHREAD_MUTEX_ERRORCHECK : PTHREAD_MUTEX_NORMAL);
  if (rc == 0) rc = pthread_mutex_init(&fMutex, &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (rc != 0) return PERR_MUTEX;
  fInitialised = true;
  return 0;
}

int PMutex::lock() {
  if (!fInitialised) return PERR_MUTEX;
  return pthread_mutex_lock(&fMutex) == 0 ? 0 : PERR_MUTEX;
}

int PMutex::unlock() {
  if (!fInitialised) return PERR_MUTEX;
  return pthread_mutex_unlock(&fMutex) == 0 ? 0 : PERR_MUTEX;
}

int PMutex::close() {
  if (!fInitialised) return PERR_MUTEX;
  // A locked mutex stays usable so that its owner can still unlock it.
  if (pthread_mutex_destroy(&fMutex) != 0) return PERR_MUTEX;
  fInitialised = false;
  return 0;
}
