#include "driver/engine/kcore/KernelCore.h"

#include <cstdio>
#include <cstring>

#include "driver/engine/kcore/KernelContainers.h"
#include "driver/engine/kcore/KernelThread.h"
#include "libs/core/QnMachStatus.h"
#include "libs/core/QnPostInitList.h"
#include "platform/base/HXLog.h"

namespace QnKernel {

// ---- memory ---------------------------------------------------------------

void* memoryAlloc(uint64_t size) {
    uint64_t total = size + 16;
    if (total < size) return nullptr;
    uint8_t* block = static_cast<uint8_t*>(kcore::kmalloc(total));
    if (!block) return nullptr;
    std::memcpy(block, &total, sizeof total);
    return block + 16;
}

void memoryFree(void* p) {
    if (!p) return;
    uint8_t* block = static_cast<uint8_t*>(p) - 16;
    uint64_t total;
    std::memcpy(&total, block, sizeof total);
    kcore::kfree(block, total);
}

qn_status memoryClear(void* p, uint64_t size) {
    if (!p || size == 0) return QN_ERR_BAD_ARGUMENT;
    std::memset(p, 0, size);
    return QN_SUCCESS;
}

void* Memory::init(uint64_t size) {
    term();
    mpData = memoryAlloc(size);
    if (mpData) {
        mSize = size;
        mpfnFree = memoryFree;
    }
    return mpData;
}

void Memory::term() {
    if (mpData && mpfnFree) mpfnFree(mpData);
    mpData = nullptr;
    mSize = 0;
    mpfnFree = nullptr;
}

void assertFailed(const char* expression, const char* file, int line) {
    IOLog("Assertion failed %s in %s %d\n", expression, file, line);
}

// ---- semaphores -----------------------------------------------------------

qn_status semaphoreCreate(qn_semaphore_t* rec, int initial) {
    if (!rec) return QN_ERR_BAD_ARGUMENT;
    kcore::TaskRef task = kcore::currentTask();
    kcore::SemaphoreHandle s = 0;
    if (kcore::semaphoreCreate(task, &s, initial < 0 ? 0 : initial) != 0) {
        rec->mSemaphore = 0;
        rec->mTask = 0;
        return QN_ERR_GENERAL;
    }
    rec->mSemaphore = s;
    rec->mTask = task;
    return QN_SUCCESS;
}

qn_status semaphoreAcquire(qn_semaphore_t* rec, int ms) {
    if (!rec || !rec->mSemaphore) return QN_ERR_BAD_ARGUMENT;
    if (ms < 0) return Core::statusFromMachWait(kcore::semaphoreWait(rec->mSemaphore));
    uint64_t delta = kcore::nanosToAbsolute(uint64_t(ms) * 1000000u);
    return Core::statusFromMachWait(
        kcore::semaphoreWaitDeadline(rec->mSemaphore, kcore::absoluteTime() + delta));
}

qn_status semaphoreTry(qn_semaphore_t* rec) {
    if (!rec || !rec->mSemaphore) return QN_ERR_BAD_ARGUMENT;
    return Core::statusFromMachWait(
        kcore::semaphoreWaitDeadline(rec->mSemaphore, kcore::absoluteTime()));
}

qn_status semaphoreRelease(qn_semaphore_t* rec) {
    if (!rec || !rec->mSemaphore) return QN_ERR_NO_SEMAPHORE;
    return kcore::semaphoreSignal(rec->mSemaphore) == 0 ? QN_SUCCESS : QN_ERR_GENERAL;
}

void semaphoreDestroy(qn_semaphore_t* rec) {
    if (!rec || !rec->mSemaphore) return;
    kcore::semaphoreDestroy(rec->mTask, rec->mSemaphore);
    rec->mSemaphore = 0;
    rec->mTask = 0;
}

// ---- recursive mutex ------------------------------------------------------

qn_status mutexInit(qn_mutex_struct* m) {
    m->mOwner = 0;
    m->mDepth = 0;
    return semaphoreCreate(&m->mSemaphore, 1);
}

void mutexTerm(qn_mutex_struct* m) {
    semaphoreDestroy(&m->mSemaphore);
}

static bool ownedByCaller(qn_mutex_struct* m, uint64_t self) {
    // Compare-and-swap of the owner with itself: a full-barrier read that
    // only succeeds when the caller is the owner.
    uint64_t expected = self;
    return __atomic_compare_exchange_n(&m->mOwner, &expected, self, false, __ATOMIC_SEQ_CST,
                                       __ATOMIC_SEQ_CST);
}

void mutexAcquire(qn_mutex_struct* m) {
    uint64_t self = kcore::currentThread();
    if (ownedByCaller(m, self)) {
        ++m->mDepth;
        return;
    }
    semaphoreAcquire(&m->mSemaphore, -1);
    __atomic_store_n(&m->mOwner, self, __ATOMIC_SEQ_CST);
    m->mDepth = 1;
}

bool mutexTryAcquire(qn_mutex_struct* m) {
    uint64_t self = kcore::currentThread();
    if (ownedByCaller(m, self)) {
        ++m->mDepth;
        return true;
    }
    if (semaphoreTry(&m->mSemaphore) != QN_SUCCESS) return false;
    __atomic_store_n(&m->mOwner, self, __ATOMIC_SEQ_CST);
    m->mDepth = 1;
    return true;
}

void mutexRelease(qn_mutex_struct* m) {
    if (!ownedByCaller(m, kcore::currentThread())) return;
    if (--m->mDepth == 0) {
        __atomic_store_n(&m->mOwner, uint64_t(0), __ATOMIC_SEQ_CST);
        semaphoreRelease(&m->mSemaphore);
    }
}

// ---- start-up and shutdown ------------------------------------------------

namespace {

constexpr uint64_t kInitTag = 0xDEADBEEFBAADF00Dull;

struct ExitNode {
    void (*fn)(void*);
    void* arg;
    ExitNode* next;
};

uint64_t gInitTag = 0;
ExitNode* gExitList = nullptr;
qn_mutex_struct gCriticalSection;
char gDebugName[64];
uint32_t gSeed = 0;

} // namespace

bool isInitialised() {
    return __atomic_load_n(&gInitTag, __ATOMIC_SEQ_CST) == kInitTag;
}

void init(const char* name) {
    uint64_t expected = __atomic_load_n(&gInitTag, __ATOMIC_SEQ_CST);
    if (expected == kInitTag || !__atomic_compare_exchange_n(&gInitTag, &expected, kInitTag, false,
                                                             __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST)) {
        IOLog("QnCore::init already initialised\n");
        return;
    }
    std::snprintf(gDebugName, sizeof gDebugName, "%s", name ? name : "");
    uint64_t s;
    uint32_t n;
    kcore::nanouptime(s, n);
    gSeed = uint32_t(s * 1000000000ull + n);
    threadsInit();
    mutexInit(&gCriticalSection);
    postInitProcess(0);
}

void term() {
    IOLog("%s\n", "Core::term();\n");
    uint64_t expected = kInitTag;
    if (!__atomic_compare_exchange_n(&gInitTag, &expected, ~kInitTag, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST)) {
        IOLog("%s - init not called or term already called\n", "void Core::term()");
        return;
    }
    IOLog("%s\n", "void Core::term()");
    ExitNode* node =
        __atomic_exchange_n(&gExitList, static_cast<ExitNode*>(nullptr), __ATOMIC_SEQ_CST);
    while (node) { // newest first
        ExitNode* next = node->next;
        node->fn(node->arg);
        memoryFree(node);
        node = next;
    }
    mutexTerm(&gCriticalSection);
}

namespace {
CallbackNode* gPostInitFirst = nullptr;
CallbackNode* gPostInitLast = nullptr;
constinit QnQueue::PostInitList<CallbackNode> gPostInit(gPostInitFirst, gPostInitLast);
} // namespace

void atPostInit(CallbackNode* node) {
    if (!node || !node->mpfnCallback) return;
    if (isInitialised()) {
        node->mpfnCallback(node);
        return;
    }
    gPostInit.append(node);
}

qn_status postInitProcess(uint32_t level) {
    qn_status result = QN_SUCCESS;
    gPostInit.process(level, [&result](CallbackNode* node) { result = node->mpfnCallback(node); });
    return result;
}

bool atExit(void (*fn)(void*), void* arg) {
    if (!fn) return false;
    ExitNode* node = static_cast<ExitNode*>(memoryAlloc(sizeof(ExitNode)));
    if (!node) return false;
    node->fn = fn;
    node->arg = arg;
    node->next = __atomic_load_n(&gExitList, __ATOMIC_SEQ_CST);
    while (!__atomic_compare_exchange_n(&gExitList, &node->next, node, false, __ATOMIC_SEQ_CST,
                                        __ATOMIC_SEQ_CST)) {
    }
    return true;
}

uint64_t uptimeNanos() {
    uint64_t s;
    uint32_t n;
    kcore::nanouptime(s, n);
    return s * 1000000000ull + n;
}

uint64_t lapNanos(uint64_t start) {
    return uptimeNanos() - start;
}

uint64_t lapNanosWithUpdate(uint64_t& t) {
    uint64_t now = uptimeNanos();
    uint64_t lap = now - t;
    t = now;
    return lap;
}

// ---- thread-local storage -------------------------------------------------

namespace {

struct TlsEntry {
    uint64_t thread;
    uint64_t value;
};

long long compareTls(const void* a, const void* b) {
    uint64_t x = static_cast<const TlsEntry*>(a)->thread;
    uint64_t y = static_cast<const TlsEntry*>(b)->thread;
    return x < y ? -1 : (x > y ? 1 : 0);
}

Core::HashTable* gTls = nullptr;
RWLock gTlsLock;

} // namespace

bool tlsInit() {
    if (gTls) return true;
    gTlsLock.init();
    gTls = new Core::HashTable;
    gTls->init(13, sizeof(TlsEntry), compareTls);
    return true;
}

void tlsTerm() {
    if (!gTls) return;
    delete gTls;
    gTls = nullptr;
    gTlsLock.term();
}

void* tlsGet() {
    if (!gTls) return nullptr;
    TlsEntry key{kcore::currentThread(), 0};
    gTlsLock.lockRead();
    auto* e = static_cast<TlsEntry*>(gTls->find(&key, key.thread));
    void* v = e ? reinterpret_cast<void*>(e->value) : nullptr;
    gTlsLock.unlockRead();
    return v;
}

bool tlsSet(void* value) {
    if (!gTls) return false;
    TlsEntry entry{kcore::currentThread(), reinterpret_cast<uint64_t>(value)};
    gTlsLock.lockRead();
    auto* e = static_cast<TlsEntry*>(gTls->find(&entry, entry.thread));
    if (e) e->value = entry.value; // only this thread writes its own entry
    gTlsLock.unlockRead();
    if (e) return true;
    gTlsLock.lockWrite();
    bool ok = gTls->add(&entry, entry.thread);
    gTlsLock.unlockWrite();
    return ok;
}

void tlsDelete(uint64_t threadId) {
    if (!gTls) return;
    TlsEntry key{threadId, 0};
    gTlsLock.lockWrite();
    gTls->remove(&key, threadId);
    gTlsLock.unlockWrite();
}

// ---- formatter ------------------------------------------------------------

namespace {

struct Out {
    char* buf;
    size_t size;
    size_t len;
    void put(const char* s, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (len + 1 < size) buf[len] = s[i];
            ++len;
        }
    }
};

enum Length { L_INT, L_CHAR, L_SHORT, L_LONG, L_LLONG, L_SIZE, L_PTRDIFF };

// One conversion as written: its flags, width and precision (the text the
// host's formatter gets back), the values of its stars, its length and its
// letter.
struct Conversion {
    char text[32];
    size_t n = 0;
    int star[2] = {0, 0};
    int stars = 0;
    Length len = L_INT;
    char conv = 0;
};

// Flags, width and precision; a star takes its value from the arguments.
void parseFlagsWidthPrecision(const char*& p, Conversion& c, va_list* ap) {
    c.text[c.n++] = '%';
    while (*p && std::strchr(" #+-0", *p) && c.n < 8)
        c.text[c.n++] = *p++;
    auto digits = [&] {
        if (*p == '*') {
            c.star[c.stars++] = va_arg(*ap, int);
            c.text[c.n++] = *p++;
        } else {
            while (*p >= '0' && *p <= '9' && c.n < 20)
                c.text[c.n++] = *p++;
        }
    };
    digits();
    if (*p == '.') {
        c.text[c.n++] = *p++;
        digits();
    }
}

Length parseLength(const char*& p) {
    Length len = L_INT;
    if (p[0] == 'h' && p[1] == 'h') {
        len = L_CHAR;
        p += 2;
    } else if (p[0] == 'h') {
        len = L_SHORT;
        ++p;
    } else if (p[0] == 'l' && p[1] == 'l') {
        len = L_LLONG;
        p += 2;
    } else if (p[0] == 'l') {
        len = L_LONG;
        ++p;
    } else if (p[0] == 'z') {
        len = L_SIZE;
        ++p;
    } else if (p[0] == 't') {
        len = L_PTRDIFF;
        ++p;
    } else if (p[0] == 'I') {
        ++p;
        if (p[0] == '6' && p[1] == '4') {
            len = L_LLONG;
            p += 2;
        } else if (p[0] == '3' && p[1] == '2') {
            len = L_INT;
            p += 2;
        } else
            len = L_SIZE;
    }
    return len;
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
// One value through the host's formatter with the conversion's own text.
template <class T> void emit(Out& out, const Conversion& c, T value, const char* lenMod) {
    char piece[512];
    char f[40];
    std::snprintf(f, sizeof f, "%.*s%s%c", int(c.n), c.text, lenMod, c.conv == 'P' ? 'p' : c.conv);
    int w;
    if (c.stars == 2)
        w = std::snprintf(piece, sizeof piece, f, c.star[0], c.star[1], value);
    else if (c.stars == 1)
        w = std::snprintf(piece, sizeof piece, f, c.star[0], value);
    else
        w = std::snprintf(piece, sizeof piece, f, value);
    if (w > 0) out.put(piece, size_t(w) < sizeof piece ? size_t(w) : sizeof piece - 1);
}
#pragma GCC diagnostic pop

void emitInteger(Out& out, const Conversion& c, va_list* ap) {
    bool isSigned = c.conv == 'd' || c.conv == 'i';
    switch (c.len) {
    case L_LLONG:
        if (isSigned)
            emit(out, c, va_arg(*ap, long long), "ll");
        else
            emit(out, c, va_arg(*ap, unsigned long long), "ll");
        break;
    case L_LONG:
    case L_SIZE:
    case L_PTRDIFF:
        if (isSigned)
            emit(out, c, va_arg(*ap, long), "l");
        else
            emit(out, c, va_arg(*ap, unsigned long), "l");
        break;
    case L_SHORT:
        if (isSigned)
            emit(out, c, va_arg(*ap, int), "h");
        else
            emit(out, c, va_arg(*ap, unsigned), "h");
        break;
    case L_CHAR:
        if (isSigned)
            emit(out, c, va_arg(*ap, int), "hh");
        else
            emit(out, c, va_arg(*ap, unsigned), "hh");
        break;
    default:
        if (isSigned)
            emit(out, c, va_arg(*ap, int), "");
        else
            emit(out, c, va_arg(*ap, unsigned), "");
        break;
    }
}

void emitConversion(Out& out, const Conversion& c, va_list* ap) {
    switch (c.conv) {
    case 'c':
        emit(out, c, va_arg(*ap, int), "");
        break;
    case 's': {
        const char* s = va_arg(*ap, const char*);
        emit(out, c, s ? s : "(null)", "");
        break;
    }
    case 'p':
    case 'P':
        emit(out, c, va_arg(*ap, void*), "");
        break;
    case 'n': {
        int* dst = va_arg(*ap, int*);
        if (dst) *dst = int(out.len);
        break;
    }
    default:
        emitInteger(out, c, ap);
    }
}

} // namespace

int vformat(char* buffer, size_t size, const char* fmt, va_list ap) {
    Out out{buffer, size, 0};
    if (!fmt) fmt = "";
    // The helpers take the arguments by address: a va_list passed on by
    // value is indeterminate for the caller once the callee read from it.
    va_list args;
    va_copy(args, ap);
    const char* p = fmt;
    while (*p) {
        if (*p != '%') {
            out.put(p++, 1);
            continue;
        }
        ++p;
        if (*p == '%') {
            out.put("%", 1);
            ++p;
            continue;
        }
        Conversion c;
        parseFlagsWidthPrecision(p, c, &args);
        c.len = parseLength(p);
        c.conv = *p;
        if (!c.conv || !std::strchr("cdiuoxXpPsn", c.conv))
            break; // unknown conversion, floats included: the output ends here
        ++p;
        emitConversion(out, c, &args);
    }
    va_end(args);
    if (size) buffer[out.len < size ? out.len : size - 1] = 0;
    return int(out.len < size ? out.len : (size ? size - 1 : 0));
}

int format(char* buffer, size_t size, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    int n = vformat(buffer, size, fmt, ap);
    va_end(ap);
    return n;
}

void dumpMemory(const void* data, uint64_t size, int mode, int bytesPerLine) {
    if (bytesPerLine < 1) bytesPerLine = 1;
    IOLog("%s\n", mode == 1 ? "unsigned char _data[] = {" : "MemoryDump:");
    const uint8_t* b = static_cast<const uint8_t*>(data);
    if (b) {
        char line[1024];
        for (uint64_t i = 0; i < size;) {
            size_t len = 0;
            for (int k = 0; k < bytesPerLine && i < size && len + 8 < sizeof line; ++k, ++i)
                len += size_t(std::snprintf(line + len, sizeof line - len,
                                            mode == 1 ? "0x%02X, " : "%02X ", b[i]));
            IOLog("%s\n", line);
        }
    }
    IOLog("%s\n", mode == 1 ? "};" : "END MemoryDump--------------------");
}

} // namespace QnKernel
