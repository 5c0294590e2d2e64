#include "platform/smb_threads.h"

#include <cerrno>
#include <cstdlib>
#include <dlfcn.h>
#include <mutex>
#include <pthread.h>

namespace sonquarry::platform {

namespace {

// The layout of Samba's struct smb_thread_functions (lib/util/smb_threads.h), unchanged since
// the hooks were introduced.
extern "C" struct TSmbThreadFunctions {
  int (*create_mutex)(const char *lockname, void **pplock, const char *location);
  void (*destroy_mutex)(void *plock, const char *location);
  int (*lock_mutex)(void *plock, int lock_type, const char *location);
  int (*create_tls)(const char *keyname, void **ppkey, const char *location);
  void (*destroy_tls)(void **pkey, const char *location);
  int (*set_tls)(void *pkey, const void *pval, const char *location);
  void *(*get_tls)(void *pkey, const char *location);
};

constexpr int SmbThreadUnlock = 2; // SMB_THREAD_UNLOCK

extern "C" int CreateMutex(const char *, void **Lock, const char *) {
  auto *M = static_cast<pthread_mutex_t *>(std::malloc(sizeof(pthread_mutex_t)));
  if (!M) return ENOMEM;
  pthread_mutex_init(M, nullptr);
  *Lock = M;
  return 0;
}

extern "C" void DestroyMutex(void *Lock, const char *) {
  pthread_mutex_destroy(static_cast<pthread_mutex_t *>(Lock));
  std::free(Lock);
}

extern "C" int LockMutex(void *Lock, int Type, const char *) {
  auto *M = static_cast<pthread_mutex_t *>(Lock);
  return Type == SmbThreadUnlock ? pthread_mutex_unlock(M) : pthread_mutex_lock(M);
}

pthread_mutex_t TlsLock = PTHREAD_MUTEX_INITIALIZER;

extern "C" int CreateTls(const char *, void **Key, const char *) {
  pthread_mutex_lock(&TlsLock);
  int Result = 0;
  if (!*Key) {
    auto *K = static_cast<pthread_key_t *>(std::malloc(sizeof(pthread_key_t)));
    if (!K) {
      Result = ENOMEM;
    } else if ((Result = pthread_key_create(K, nullptr)) != 0) {
      std::free(K);
    } else {
      *Key = K;
    }
  }
  pthread_mutex_unlock(&TlsLock);
  return Result;
}

extern "C" void DestroyTls(void **Key, const char *) {
  pthread_mutex_lock(&TlsLock);
  if (*Key) {
    pthread_key_delete(*static_cast<pthread_key_t *>(*Key));
    std::free(*Key);
    *Key = nullptr;
  }
  pthread_mutex_unlock(&TlsLock);
}

extern "C" int SetTls(void *Key, const void *Value, const char *) {
  if (!Key) return EINVAL;
  return pthread_setspecific(*static_cast<pthread_key_t *>(Key), Value);
}

// Samba asks for a value before it creates the key on first use: nothing is stored yet.
extern "C" void *GetTls(void *Key, const char *) {
  return Key ? pthread_getspecific(*static_cast<pthread_key_t *>(Key)) : nullptr;
}

// Samba keeps the pointer: it must live as long as the process.
const TSmbThreadFunctions Functions = {CreateMutex, DestroyMutex, LockMutex, CreateTls,
                                       DestroyTls,  SetTls,       GetTls};

} // namespace

bool EnableSmbThreads() {
  static const bool Enabled = [] {
    using TSet = int (*)(const TSmbThreadFunctions *);
    // libsmbclient has loaded libsamba-util already.
    auto *Set = reinterpret_cast<TSet>(::dlsym(RTLD_DEFAULT, "smb_thread_set_functions"));
    return Set && Set(&Functions) == 0;
  }();
  return Enabled;
}

} // namespace sonquarry::platform
