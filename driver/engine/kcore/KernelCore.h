// The core library's services as the kernel driver uses them: size-headed
// core memory, semaphores, recursive mutexes, events, thread-local storage,
// start-up and shutdown, and the formatter without floating point, all bound
// to the kernel services of KernBinding.h.
//
// They live in namespace QnKernel so that the kernel side and the user
// build of the library can run in one process (the simulator, tests) without
// one build's objects replacing the other's. Results are the core status
// codes of libs/core/QnStatus.h.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#include "driver/engine/kcore/KernBinding.h"
#include "libs/core/QnStatus.h"

namespace QnKernel {

// Core memory blocks: a 16-byte header holds the total size.
void* memoryAlloc(uint64_t size);
void memoryFree(void* p);
qn_status memoryClear(void* p, uint64_t size);

// One core memory block and the function that gives it back.
class Memory {
public:
    typedef void (*FreeFn)(void*);

    Memory() = default;
    explicit Memory(uint64_t size) { init(size); }
    ~Memory() { term(); }
    Memory(const Memory&) = delete;
    Memory& operator=(const Memory&) = delete;

    // Frees a previous block, then allocates; null (and all fields cleared)
    // when out of memory.
    void* init(uint64_t size);
    void term();

    void* data() const { return mpData; }
    uint64_t size() const { return mSize; }
    FreeFn freeFunction() const { return mpfnFree; }

private:
    void* mpData = nullptr;
    uint64_t mSize = 0;
    FreeFn mpfnFree = nullptr;
};

struct qn_semaphore_t {
    kcore::SemaphoreHandle mSemaphore;
    kcore::TaskRef mTask;
};

qn_status semaphoreCreate(qn_semaphore_t* rec, int initial);
// ms >= 0 waits up to ms (0 is a try); ms < 0 waits without limit.
qn_status semaphoreAcquire(qn_semaphore_t* rec, int ms);
qn_status semaphoreTry(qn_semaphore_t* rec);
qn_status semaphoreRelease(qn_semaphore_t* rec);
void semaphoreDestroy(qn_semaphore_t* rec);

struct qn_mutex_struct {
    qn_semaphore_t mSemaphore;
    uint64_t mOwner;
    uint32_t mDepth;
};
qn_status mutexInit(qn_mutex_struct* m);
void mutexTerm(qn_mutex_struct* m);
void mutexAcquire(qn_mutex_struct* m);
bool mutexTryAcquire(qn_mutex_struct* m);
void mutexRelease(qn_mutex_struct* m);

} // namespace QnKernel

#pragma push_macro("QN_CORE_NS")
#undef QN_CORE_NS
#define QN_CORE_NS QnKernel
#include "libs/core/shared/QnEvent.h"
#pragma pop_macro("QN_CORE_NS")

namespace QnKernel {

// Library start-up and shutdown, once per loaded driver.
void init(const char* name);
void term();
bool isInitialised();
bool atExit(void (*fn)(void*), void* arg);

// A callback for a start-up level, owned by whoever registers it and kept
// alive until it has run. Registration and processing belong to start-up
// and are not meant to race.
struct CallbackNode {
    qn_status (*mpfnCallback)(CallbackNode*);
    void* mpData;
    CallbackNode* mpNext;
    uint32_t mLevel;
};
// Runs the callback at once when the library is initialised, otherwise
// queues it for its level.
void atPostInit(CallbackNode* node);
// Runs and unlinks every queued callback of that level in registration
// order; the others stay queued. Returns the last callback's result (0 when
// none ran). Start-up runs level 0.
qn_status postInitProcess(uint32_t level);
uint64_t uptimeNanos();
uint64_t lapNanos(uint64_t start);
uint64_t lapNanosWithUpdate(uint64_t& t);

// Thread-local values, kept in a table keyed by the kernel thread.
bool tlsInit();
void tlsTerm();
void* tlsGet();
bool tlsSet(void* value);
void tlsDelete(uint64_t threadId);

// printf-style formatting without floating-point conversions: any unknown
// conversion (floats included) ends the output where it stands. Returns the
// number of characters written (the buffer is always terminated).
int format(char* buffer, size_t size, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
int vformat(char* buffer, size_t size, const char* fmt, va_list ap);

// Hex dump to the kernel log: mode 1 as a C array, else a plain dump.
void dumpMemory(const void* data, uint64_t size, int mode, int bytesPerLine);

// Assertion lines of the kernel build: logged, and execution carries on.
void assertFailed(const char* expression, const char* file, int line);

} // namespace QnKernel

#define QN_KASSERT(e) ((e) ? (void)0 : QnKernel::assertFailed(#e, __FILE__, __LINE__))
// The same with the expression text given, where the logged text names the
// fields of the record rather than the accessor the code uses.
#define QN_KASSERT_TEXT(e, text) ((e) ? (void)0 : QnKernel::assertFailed(text, __FILE__, __LINE__))
