// The scripted kernel service. See ScriptedKernelService.h.
#include "tests/plugins/server/ScriptedKernelService.h"

#include <algorithm>
#include <cstring>

#include "abi/AudioSM.h"
#include "platform/kern/IOService.h"

namespace hx::test {

class ScriptedKernelClient : public IOUserClient {
    OSDeclareDefaultStructors(ScriptedKernelClient) public : IOReturn clientClose() override {
        if (auto* s = OSDynamicCast(ScriptedKernelService, getProvider())) {
            std::lock_guard<std::mutex> g(s->mLock);
            if (s->mOpenClients) --s->mOpenClients;
        }
        terminate(0);
        return kIOReturnSuccess;
    }
    IOReturn clientMemoryForType(UInt32 type, IOOptionBits*, IOMemoryDescriptor** memory) override {
        *memory = nullptr;
        auto* s = OSDynamicCast(ScriptedKernelService, getProvider());
        IOBufferMemoryDescriptor* a = s ? s->areaDescriptor(type) : nullptr;
        if (!a) return kIOReturnUnsupported;
        a->retain();
        *memory = a;
        return kIOReturnSuccess;
    }
    IOReturn externalMethod(uint32_t selector, IOExternalMethodArguments* args,
                            IOExternalMethodDispatch*, OSObject*, void*) override {
        auto* s = OSDynamicCast(ScriptedKernelService, getProvider());
        if (!s) return kIOReturnNotAttached;
        return s->answer(selector, args);
    }
};

OSDefineMetaClassAndStructors(ScriptedKernelClient, IOUserClient)
    OSDefineMetaClassAndStructors(ScriptedKernelService, IOService)

        namespace {
    constexpr UInt32 kTypes[3] = {1, 4, 5};

    int typeIndex(UInt32 type) {
        for (int i = 0; i < 3; ++i)
            if (kTypes[i] == type) return i;
        return -1;
    }
} // namespace

ScriptedKernelService* ScriptedKernelService::publish(const char* uid) {
    auto* s = new ScriptedKernelService;
    if (!s->init()) {
        s->release();
        return nullptr;
    }
    if (uid) s->setProperty("deviceUID", uid);
    s->registerService(kIOServiceSynchronous);
    return s;
}

void ScriptedKernelService::unpublish(ScriptedKernelService* service) {
    if (!service) return;
    service->terminate();
    hx::kern::waitQuiet();
    service->release();
}

void ScriptedKernelService::free() {
    for (auto*& a : mAreas)
        if (a) {
            a->release();
            a = nullptr;
        }
    IOService::free();
}

IOBufferMemoryDescriptor* ScriptedKernelService::areaDescriptor(UInt32 type) {
    const int i = typeIndex(type);
    if (i < 0) return nullptr;
    std::lock_guard<std::mutex> g(mLock);
    if (!mAreas[i]) {
        const vm_size_t bytes = type == 1 ? kDriverAreaBytes : kRingBytes;
        mAreas[i] = IOBufferMemoryDescriptor::withOptions(kIOMemoryKernelUserShared, bytes, 4096);
        if (mAreas[i]) std::memset(mAreas[i]->getBytesNoCopy(), 0, bytes);
    }
    return mAreas[i];
}

uint8_t* ScriptedKernelService::area(UInt32 type) {
    IOBufferMemoryDescriptor* a = areaDescriptor(type);
    return a ? static_cast<uint8_t*>(a->getBytesNoCopy()) : nullptr;
}

IOReturn ScriptedKernelService::newUserClient(task_t task, void* sid, UInt32 type, OSDictionary*,
                                              IOUserClient** handler) {
    if (type != 3) return kIOReturnBadArgument;
    auto* c = new ScriptedKernelClient;
    if (!c->initWithTask(task, sid, type) || !c->start(this)) {
        c->release();
        return kIOReturnBadArgument;
    }
    {
        std::lock_guard<std::mutex> g(mLock);
        ++mOpenClients;
    }
    *handler = c;
    return kIOReturnSuccess;
}

void ScriptedKernelService::markAttached(bool on) {
    uint8_t* ring = area(5);
    if (ring) audiosm::store32(ring + offsetof(AudioSM, mAttachState), on ? 1 : 0);
}

IOReturn ScriptedKernelService::callDriver(IOExternalMethodArguments* args, KernelCall& call) {
    if (!args->structureInput || args->structureInputSize < 8 || !args->structureOutput ||
        args->structureOutputSize < sizeof(OSXDispatch))
        return kIOReturnBadArgument;
    OSXDispatch record{};
    std::memcpy(&record, args->structureInput,
                std::min<size_t>(args->structureInputSize, sizeof record));
    call.request = record.iReq;
    call.payload.assign(record.payload, record.payload + sizeof record.payload);
    ScriptedReply reply;
    auto q = mScript.queued.find(record.iReq);
    if (q != mScript.queued.end() && !q->second.empty()) {
        reply = q->second.front();
        q->second.pop_front();
    } else if (auto s = mScript.standing.find(record.iReq); s != mScript.standing.end()) {
        reply = s->second;
    }
    if (mScript.onRequest)
        mScript.onRequest(call, reply,
                          mAreas[0] ? static_cast<uint8_t*>(mAreas[0]->getBytesNoCopy()) : nullptr);
    if (!reply.payload.empty())
        std::memcpy(record.payload, reply.payload.data(),
                    std::min(reply.payload.size(), sizeof record.payload));
    if (reply.setCount) record.iReq = reply.count;
    std::memcpy(args->structureOutput, &record, sizeof record);
    args->structureOutputSize = sizeof record;
    return reply.status;
}

IOReturn ScriptedKernelService::answer(uint32_t selector, IOExternalMethodArguments* args) {
    KernelCall call;
    call.selector = selector;
    call.scalars.assign(args->scalarInput, args->scalarInput + args->scalarInputCount);
    IOReturn result = kIOReturnSuccess;
    bool attach = false;
    {
        std::lock_guard<std::mutex> g(mLock);
        switch (selector) {
        case 0:
            result = mScript.openResult;
            break;
        case 1:
            break;
        case 2:
            result = mScript.startResult;
            if (args->scalarOutputCount) args->scalarOutput[0] = uint64_t(mScript.slot);
            attach = result == kIOReturnSuccess && mScript.attach == KernelScript::Attach::AtStart;
            break;
        case 3:
            break;
        case 6:
            result = callDriver(args, call);
            break;
        case 7:
            if (args->scalarOutputCount) args->scalarOutput[0] = mScript.userClassId;
            break;
        default:
            result = kIOReturnUnsupported;
            break;
        }
        mCalls.push_back(std::move(call));
    }
    if (selector == 3) markAttached(false);
    if (attach) markAttached(true);
    return result;
}

std::vector<KernelCall> ScriptedKernelService::calls() {
    std::lock_guard<std::mutex> g(mLock);
    return mCalls;
}

std::vector<uint32_t> ScriptedKernelService::requests() {
    std::lock_guard<std::mutex> g(mLock);
    std::vector<uint32_t> out;
    for (const auto& c : mCalls)
        if (c.selector == 6) out.push_back(c.request);
    return out;
}

size_t ScriptedKernelService::countSelector(uint32_t selector) {
    std::lock_guard<std::mutex> g(mLock);
    return size_t(std::count_if(mCalls.begin(), mCalls.end(),
                                [&](const KernelCall& c) { return c.selector == selector; }));
}

size_t ScriptedKernelService::openClients() {
    std::lock_guard<std::mutex> g(mLock);
    return mOpenClients;
}

void ScriptedKernelService::clearCalls() {
    std::lock_guard<std::mutex> g(mLock);
    mCalls.clear();
}

} // namespace hx::test
