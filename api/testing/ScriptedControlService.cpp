#include "api/testing/ScriptedControlService.h"

#include "platform/kern/IOUserConnection.h"

#include <algorithm>
#include <cstring>

OSDefineMetaClassAndStructors(QnApiScriptedService, IOService)
    OSDefineMetaClassAndStructors(QnApiScriptedClient, IOUserClient)
        OSDefineMetaClassAndStructors(ZrKernelDeviceSorvikModal6, IOService)

            namespace {

    // The control client's types: plain and the exclusive (firmware-update) one.
    constexpr UInt32 kControlType = 2;
    constexpr UInt32 kControlExclusiveType = 5;

} // namespace

IOReturn QnApiScriptedService::newUserClient(task_t task, void* sid, UInt32 type, OSDictionary*,
                                             IOUserClient** handler) {
    if (type != kControlType && type != kControlExclusiveType) return kIOReturnBadArgument;
    auto* c = new QnApiScriptedClient;
    if (!c->initWithTask(task, sid, type) || !c->start(this)) {
        c->release();
        return kIOReturnBadArgument;
    }
    {
        std::lock_guard<std::mutex> g(mLock);
        mOpened.push_back(type);
    }
    *handler = c;
    return kIOReturnSuccess;
}

void QnApiScriptedService::queueReply(hx::apitest::ScriptedReply reply) {
    std::lock_guard<std::mutex> g(mLock);
    mQueue.push_back(std::move(reply));
}

void QnApiScriptedService::setDefaultReply(hx::apitest::ScriptedReply reply) {
    std::lock_guard<std::mutex> g(mLock);
    mDefault = std::move(reply);
}

std::vector<std::vector<uint8_t>> QnApiScriptedService::received() const {
    std::lock_guard<std::mutex> g(mLock);
    return mReceived;
}

std::vector<uint32_t> QnApiScriptedService::openedTypes() const {
    std::lock_guard<std::mutex> g(mLock);
    return mOpened;
}

void QnApiScriptedService::clearRecords() {
    std::lock_guard<std::mutex> g(mLock);
    mReceived.clear();
    mOpened.clear();
}

void QnApiScriptedService::sendMessage(uint32_t type, const void* argument, size_t size) {
    messageClients(type, const_cast<void*>(argument), vm_size_t(size));
}

IOReturn QnApiScriptedService::answer(const void* in, size_t inSize, void* out, uint32_t& outSize) {
    hx::apitest::ScriptedReply reply;
    {
        std::lock_guard<std::mutex> g(mLock);
        const auto* bytes = static_cast<const uint8_t*>(in);
        mReceived.emplace_back(bytes, bytes + inSize);
        if (mQueue.empty()) {
            reply = mDefault;
        } else {
            reply = std::move(mQueue.front());
            mQueue.pop_front();
        }
    }
    if (reply.result != kIOReturnSuccess) return reply.result;
    const size_t room = outSize;
    std::memmove(out, in, std::min(room, inSize));
    if (!reply.bytes.empty())
        std::memcpy(out, reply.bytes.data(), std::min(room, reply.bytes.size()));
    outSize = uint32_t(std::min(room, reply.outputSize));
    return kIOReturnSuccess;
}

IOReturn QnApiScriptedClient::clientClose() {
    terminate(0);
    return kIOReturnSuccess;
}

IOReturn QnApiScriptedClient::externalMethod(uint32_t selector, IOExternalMethodArguments* args,
                                             IOExternalMethodDispatch*, OSObject*, void*) {
    static IOExternalMethodDispatch method = {
        &QnApiScriptedClient::call, 0, kIOUCVariableStructureSize, 0, kIOUCVariableStructureSize};
    if (selector != 0) return kIOReturnUnsupported;
    return IOUserClient::externalMethod(selector, args, &method, this, nullptr);
}

IOReturn QnApiScriptedClient::call(OSObject* target, void*, IOExternalMethodArguments* a) {
    auto* self = static_cast<QnApiScriptedClient*>(target);
    auto* service = OSDynamicCast(QnApiScriptedService, self->getProvider());
    if (!service) return kIOReturnNotAttached;
    return service->answer(a->structureInput, a->structureInputSize, a->structureOutput,
                           a->structureOutputSize);
}

namespace hx::apitest {

QnApiScriptedService* publishScriptedService() {
    auto* s = new QnApiScriptedService;
    s->init();
    s->registerService(kIOServiceSynchronous);
    return s;
}

ZrKernelDeviceSorvikModal6* publishSorvikService(uint16_t vendor, std::optional<uint64_t> uid) {
    auto* s = new ZrKernelDeviceSorvikModal6;
    s->init();
    s->setProperty("idVendor", (unsigned long long)vendor, 16);
    if (uid) s->setProperty("SorvikUID", &*uid, sizeof *uid);
    s->registerService(kIOServiceSynchronous);
    return s;
}

void unpublish(IOService* service) {
    service->terminate();
    hx::kern::waitQuiet();
    service->release();
}

} // namespace hx::apitest
