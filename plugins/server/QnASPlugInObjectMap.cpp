#include "plugins/server/QnASPlugInObjectMap.h"

#include <algorithm>

#include "plugins/server/CADispatchQueue.h"

namespace {

constexpr UInt32 kFirstObjectID = 32;
constexpr std::size_t kReservedEntries = 256;
// IDs indexed before the index first grows (IDs are never reused).
constexpr std::size_t kReservedIndex = 4096;
// A device answers for itself, its streams and its controls.
constexpr std::size_t kReservedIDsPerEntry = 16;
constexpr UInt64 kMaxReferenceCount = ~UInt64(0);

} // namespace

QnASPlugInObjectMap* QnASPlugInObjectMap::sInstance = nullptr;

QnASPlugInObjectMap::QnASPlugInObjectMap()
    : mMutex("QnASPlugInObjectMap Mutex"), mNextObjectID(kFirstObjectID) {
    mObjectInfoList.reserve(kReservedEntries);
    mObjectByID.resize(kReservedIndex, nullptr);
}

void QnASPlugInObjectMap::StaticInitializer() {
    sInstance = new QnASPlugInObjectMap();
}

QnASPlugInObjectMap& QnASPlugInObjectMap::Instance() {
    // The once-only guard of a function-local static: after the first call a
    // single acquire load, which the IO path's lookups can afford.
    static QnASPlugInObjectMap* const instance = [] {
        StaticInitializer();
        return sInstance;
    }();
    return *instance;
}

// The index names each mapped ID's object, so the IO path's lookup is one
// load and a walk over the (few) entries by pointer, not over every ID.
QnASPlugInObjectMap::ObjectInfo* QnASPlugInObjectMap::FindByID(AudioObjectID inObjectID) {
    if (inObjectID >= mObjectByID.size()) return nullptr;
    QnASPlugInObject* object = mObjectByID[inObjectID];
    return object ? FindByObject(object) : nullptr;
}

void QnASPlugInObjectMap::IndexID(AudioObjectID inObjectID, QnASPlugInObject* inObject) {
    if (inObjectID >= mObjectByID.size())
        mObjectByID.resize(std::max<std::size_t>(inObjectID + 1, mObjectByID.size() * 2), nullptr);
    mObjectByID[inObjectID] = inObject;
}

QnASPlugInObjectMap::ObjectInfo*
QnASPlugInObjectMap::FindByObject(const QnASPlugInObject* inObject) {
    for (ObjectInfo& info : mObjectInfoList) {
        if (info.mObject == inObject) return &info;
    }
    return nullptr;
}

void QnASPlugInObjectMap::RemoveEntry(ObjectInfo* inEntry) {
    for (AudioObjectID id : inEntry->mObjectIDs)
        mObjectByID[id] = nullptr;
    mObjectInfoList.erase(mObjectInfoList.begin() + (inEntry - mObjectInfoList.data()));
}

void QnASPlugInObjectMap::DeleteLater(QnASPlugInObject* inObject) {
    CADispatchQueue::GetGlobalSerialQueue().Dispatch(false, [inObject] { delete inObject; });
}

UInt32 QnASPlugInObjectMap::GetNextObjectID() {
    QnASPlugInObjectMap& map = Instance();
    CAMutexLocker locker(map.mMutex);
    return map.mNextObjectID++;
}

bool QnASPlugInObjectMap::MapObject(AudioObjectID inObjectID, QnASPlugInObject* inObject) {
    if (inObjectID == 0 || !inObject) return false;
    QnASPlugInObjectMap& map = Instance();
    CAMutexLocker locker(map.mMutex);
    if (map.FindByID(inObjectID)) return false;
    map.IndexID(inObjectID, inObject);
    if (ObjectInfo* info = map.FindByObject(inObject)) {
        info->mObjectIDs.push_back(inObjectID);
        return true;
    }
    ObjectInfo info{inObject, 1, {}};
    info.mObjectIDs.reserve(kReservedIDsPerEntry);
    info.mObjectIDs.push_back(inObjectID);
    map.mObjectInfoList.push_back(std::move(info));
    return true;
}

void QnASPlugInObjectMap::UnmapObject(AudioObjectID inObjectID, QnASPlugInObject* inObject) {
    if (inObjectID == 0 || !inObject) return;
    QnASPlugInObjectMap& map = Instance();
    QnASPlugInObject* toDelete = nullptr;
    {
        CAMutexLocker locker(map.mMutex);
        ObjectInfo* info = map.FindByID(inObjectID);
        if (!info || info->mObject != inObject) return;
        auto& ids = info->mObjectIDs;
        ids.erase(std::find(ids.begin(), ids.end(), inObjectID));
        map.mObjectByID[inObjectID] = nullptr;
        if (!ids.empty()) return;
        // Hidden now; the map's own reference goes, holders keep theirs.
        if (--info->mReferenceCount == 0) {
            toDelete = info->mObject;
            map.RemoveEntry(info);
        }
    }
    if (toDelete) DeleteLater(toDelete);
}

QnASPlugInObject* QnASPlugInObjectMap::CopyObjectByObjectID(AudioObjectID inObjectID) {
    if (inObjectID == 0) return nullptr;
    QnASPlugInObjectMap& map = Instance();
    CAMutexLocker locker(map.mMutex);
    ObjectInfo* info = map.FindByID(inObjectID);
    if (!info || info->mReferenceCount == kMaxReferenceCount) return nullptr;
    ++info->mReferenceCount;
    return info->mObject;
}

UInt64 QnASPlugInObjectMap::RetainObject(QnASPlugInObject* inObject) {
    if (!inObject) return 0;
    QnASPlugInObjectMap& map = Instance();
    CAMutexLocker locker(map.mMutex);
    ObjectInfo* info = map.FindByObject(inObject);
    if (!info) return 0;
    if (info->mReferenceCount != kMaxReferenceCount) ++info->mReferenceCount;
    return info->mReferenceCount;
}

UInt64 QnASPlugInObjectMap::ReleaseObject(QnASPlugInObject* inObject) {
    if (!inObject) return 0;
    QnASPlugInObjectMap& map = Instance();
    QnASPlugInObject* toDelete = nullptr;
    UInt64 remaining = 0;
    {
        CAMutexLocker locker(map.mMutex);
        ObjectInfo* info = map.FindByObject(inObject);
        if (!info || info->mReferenceCount == 0) return 0;
        remaining = --info->mReferenceCount;
        if (remaining == 0) {
            toDelete = info->mObject;
            map.RemoveEntry(info);
        }
    }
    if (toDelete) DeleteLater(toDelete);
    return remaining;
}

void QnASPlugInObjectMap::DestroyObject(QnASPlugInObject* inObject) {
    if (!inObject) return;
    QnASPlugInObjectMap& map = Instance();
    {
        CAMutexLocker locker(map.mMutex);
        if (map.FindByObject(inObject)) return;
    }
    delete inObject;
}

void QnASPlugInObjectMap::Dump() {
    QnASPlugInObjectMap& map = Instance();
    CAMutexLocker locker(map.mMutex);
}
