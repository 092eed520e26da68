// The mutex calls of our socket layer, over pthread mutexes. They need no
// nlInit and keep working after nlShutdown: the database's teardown destroys
// its mutexes after the network is gone.

#include <new>
#include <pthread.h>

#include "nl.h"

struct NLmutexRecord {
    pthread_mutex_t mutex;
};

NLboolean nlMutexInit(NLmutex* mutex)
{
    if (!mutex)
        return NL_FALSE;
    NLmutexRecord* record = new (std::nothrow) NLmutexRecord;
    if (!record)
        return NL_FALSE;
    if (pthread_mutex_init(&record->mutex, nullptr) != 0) {
        delete record;
        return NL_FALSE;
    }
    *mutex = record;
    return NL_TRUE;
}

NLboolean nlMutexLock(NLmutex* mutex)
{
    if (!mutex || !*mutex)
        return NL_FALSE;
    return pthread_mutex_lock(&(*mutex)->mutex) == 0 ? NL_TRUE : NL_FALSE;
}

NLboolean nlMutexUnlock(NLmutex* mutex)
{
    if (!mutex || !*mutex)
        return NL_FALSE;
    return pthread_mutex_unlock(&(*mutex)->mutex) == 0 ? NL_TRUE : NL_FALSE;
}

NLboolean nlMutexDestroy(NLmutex* mutex)
{
    if (!mutex || !*mutex)
        return NL_FALSE;
    pthread_mutex_destroy(&(*mutex)->mutex);
    delete *mutex;
    *mutex = nullptr;
    return NL_TRUE;
}
