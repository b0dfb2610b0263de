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
    mEntryObjects.reserve(kReservedEntries);
    mEntryByID.resize(kReservedIndex, 0);
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

// The index names each mapped ID's entry, so the IO path's lookup is two
// loads, not a walk over the entries and their IDs.
QnASPlugInObjectMap::ObjectInfo* QnASPlugInObjectMap::FindByID(AudioObjectID inObjectID) {
    if (inObjectID >= mEntryByID.size()) return nullptr;
    const UInt32 entry = mEntryByID[inObjectID];
    if (entry == 0) return nullptr;
    mLastFound = entry - 1;
    return &mObjectInfoList[entry - 1];
}

void QnASPlugInObjectMap::IndexID(AudioObjectID inObjectID, std::size_t inEntry) {
    if (inObjectID >= mEntryByID.size())
        mEntryByID.resize(std::max<std::size_t>(inObjectID + 1, mEntryByID.size() * 2), 0);
    mEntryByID[inObjectID] = UInt32(inEntry + 1);
}

QnASPlugInObjectMap::ObjectInfo*
QnASPlugInObjectMap::FindByObject(const QnASPlugInObject* inObject) {
    const std::size_t n = mEntryObjects.size();
    QnASPlugInObject* const* objects = mEntryObjects.data();
    if (mLastFound < n && objects[mLastFound] == inObject) return &mObjectInfoList[mLastFound];
    for (std::size_t i = 0; i < n; ++i)
        if (objects[i] == inObject) {
            mLastFound = i;
            return &mObjectInfoList[i];
        }
    return nullptr;
}

// The entries after it move down one place, their IDs' index with them.
void QnASPlugInObjectMap::RemoveEntry(ObjectInfo* inEntry) {
    for (AudioObjectID id : inEntry->mObjectIDs)
        mEntryByID[id] = 0;
    const std::size_t at = std::size_t(inEntry - mObjectInfoList.data());
    mObjectInfoList.erase(mObjectInfoList.begin() + std::ptrdiff_t(at));
    mEntryObjects.erase(mEntryObjects.begin() + std::ptrdiff_t(at));
    for (std::size_t i = at; i < mObjectInfoList.size(); ++i)
        for (AudioObjectID id : mObjectInfoList[i].mObjectIDs)
            mEntryByID[id] = UInt32(i + 1);
    mLastFound = 0;
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
    if (ObjectInfo* info = map.FindByObject(inObject)) {
        map.IndexID(inObjectID, std::size_t(info - map.mObjectInfoList.data()));
        info->mObjectIDs.push_back(inObjectID);
        return true;
    }
    map.IndexID(inObjectID, map.mObjectInfoList.size());
    ObjectInfo info{inObject, 1, {}};
    info.mObjectIDs.reserve(kReservedIDsPerEntry);
    info.mObjectIDs.push_back(inObjectID);
    map.mObjectInfoList.push_back(std::move(info));
    map.mEntryObjects.push_back(inObject);
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
        map.mEntryByID[inObjectID] = 0;
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
