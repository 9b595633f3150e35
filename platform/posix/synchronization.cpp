// Events and threads as records behind a HANDLE, and the lock on a pthread mutex. A thread's
// handle keeps the pthread until it is closed, and joins it on the first wait or at the close.
#include "platform/synchronization.h"

#include <new>

#include "platform/kernel_object.h"

namespace {

struct EventObject {
  KernelObjectKind kind;  // KernelObjectKind::Event
  pthread_mutex_t lock;   // guards signalled
  pthread_cond_t changed;
  bool manualReset;
  bool signalled;
};

struct ThreadObject {
  KernelObjectKind kind;  // KernelObjectKind::Thread
  pthread_t thread;
  LPTHREAD_START_ROUTINE start;
  LPVOID parameter;
  pthread_mutex_t lock;   // guards joined
  bool joined;
};

void* RunThread(void* record) {
  ThreadObject* thread = static_cast<ThreadObject*>(record);
  thread->start(thread->parameter);
  return nullptr;
}

DWORD WaitForEvent(EventObject* event) {
  pthread_mutex_lock(&event->lock);
  while (!event->signalled) {
    pthread_cond_wait(&event->changed, &event->lock);
  }
  if (!event->manualReset) {
    event->signalled = false;
  }
  pthread_mutex_unlock(&event->lock);
  return WAIT_OBJECT_0;
}

// Joins the thread once, whichever of its waiters comes first.
DWORD WaitForThread(ThreadObject* thread) {
  pthread_mutex_lock(&thread->lock);
  if (!thread->joined) {
    pthread_join(thread->thread, nullptr);
    thread->joined = true;
  }
  pthread_mutex_unlock(&thread->lock);
  return WAIT_OBJECT_0;
}

}  // namespace

void AcquireSRWLockExclusive(SRWLOCK* lock) { pthread_mutex_lock(&lock->mutex); }

void ReleaseSRWLockExclusive(SRWLOCK* lock) { pthread_mutex_unlock(&lock->mutex); }

HANDLE CreateEventW(void* security, BOOL manualReset, BOOL initialState, LPCWSTR name) {
  if (security != nullptr || name != nullptr) {
    return nullptr;
  }
  EventObject* event = new (std::nothrow) EventObject;
  if (event == nullptr) {
    return nullptr;
  }
  event->kind = KernelObjectKind::Event;
  pthread_mutex_init(&event->lock, nullptr);
  pthread_cond_init(&event->changed, nullptr);
  event->manualReset = manualReset != FALSE;
  event->signalled = initialState != FALSE;
  return event;
}

BOOL SetEvent(HANDLE handle) {
  if (!HandleIsKind(handle, KernelObjectKind::Event)) {
    return FALSE;
  }
  EventObject* event = static_cast<EventObject*>(handle);
  pthread_mutex_lock(&event->lock);
  event->signalled = true;
  pthread_cond_broadcast(&event->changed);
  pthread_mutex_unlock(&event->lock);
  return TRUE;
}

HANDLE CreateThread(void* security, size_t stackSize, LPTHREAD_START_ROUTINE start,
                    LPVOID parameter, DWORD flags, DWORD* threadId) {
  if (security != nullptr || stackSize != 0 || start == nullptr || flags != 0) {
    return nullptr;
  }
  ThreadObject* thread = new (std::nothrow) ThreadObject;
  if (thread == nullptr) {
    return nullptr;
  }
  thread->kind = KernelObjectKind::Thread;
  thread->start = start;
  thread->parameter = parameter;
  pthread_mutex_init(&thread->lock, nullptr);
  thread->joined = false;
  if (pthread_create(&thread->thread, nullptr, RunThread, thread) != 0) {
    pthread_mutex_destroy(&thread->lock);
    delete thread;
    return nullptr;
  }
  if (threadId != nullptr) {
    *threadId = 0;  // nothing here names threads by number
  }
  return thread;
}

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) {
  if (milliseconds != INFINITE) {
    return WAIT_FAILED;
  }
  if (HandleIsKind(object, KernelObjectKind::Event)) {
    return WaitForEvent(static_cast<EventObject*>(object));
  }
  if (HandleIsKind(object, KernelObjectKind::Thread)) {
    return WaitForThread(static_cast<ThreadObject*>(object));
  }
  return WAIT_FAILED;
}

BOOL CloseSyncObject(HANDLE object) {
  if (HandleIsKind(object, KernelObjectKind::Event)) {
    EventObject* event = static_cast<EventObject*>(object);
    event->kind = KernelObjectKind{0};
    pthread_cond_destroy(&event->changed);
    pthread_mutex_destroy(&event->lock);
    delete event;
    return TRUE;
  }
  if (HandleIsKind(object, KernelObjectKind::Thread)) {
    ThreadObject* thread = static_cast<ThreadObject*>(object);
    WaitForThread(thread);  // a pthread must be joined or detached; closing never leaks one
    thread->kind = KernelObjectKind{0};
    pthread_mutex_destroy(&thread->lock);
    delete thread;
    return TRUE;
  }
  return FALSE;
}
