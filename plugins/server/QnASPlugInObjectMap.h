// The process-wide table from object IDs to objects: new IDs, a reference
// count per object, several IDs per object (a device also answers for its
// streams and controls), and deletion on the global serial queue once the
// last reference goes - never under the map's mutex, never on the thread
// that dropped it.
//
// The entry's first count is the map's own reference. Unmapping an object's
// last ID hides it at once (no ID finds it any more) and gives back the
// map's reference; holders keep it valid until their own release, the last
// of which queues the deletion. Lookups and releases that keep the entry
// allocate nothing: the entry list is reserved at creation. An index from ID
// to entry spares the IO path's lookup the walk over every ID, and the
// entry found last is looked at first by the walk by pointer (the IO path
// releases the object it has just looked up).
#pragma once

#include <vector>

#include "plugins/server/CAMutex.h"
#include "plugins/server/QnASPlugInObject.h"

class QnASPlugInObjectMap {
public:
    static UInt32 GetNextObjectID();
    static bool MapObject(AudioObjectID inObjectID, QnASPlugInObject* inObject);
    static void UnmapObject(AudioObjectID inObjectID, QnASPlugInObject* inObject);
    static QnASPlugInObject* CopyObjectByObjectID(AudioObjectID inObjectID);
    static UInt64 RetainObject(QnASPlugInObject* inObject);
    static UInt64 ReleaseObject(QnASPlugInObject* inObject);
    // Deletes an object at once - unless the map holds it, which does nothing.
    static void DestroyObject(QnASPlugInObject* inObject);
    static void Dump();

    struct ObjectInfo {
        QnASPlugInObject* mObject;
        UInt64 mReferenceCount;
        std::vector<AudioObjectID> mObjectIDs; // empty: hidden, waiting for its last release
    };

    static QnASPlugInObjectMap* sInstance;

private:
    QnASPlugInObjectMap();
    static QnASPlugInObjectMap& Instance();
    static void StaticInitializer();

    ObjectInfo* FindByID(AudioObjectID inObjectID);
    void IndexID(AudioObjectID inObjectID, std::size_t inEntry);
    ObjectInfo* FindByObject(const QnASPlugInObject* inObject);
    void RemoveEntry(ObjectInfo* inEntry);
    static void DeleteLater(QnASPlugInObject* inObject);

    CAMutex mMutex;
    UInt32 mNextObjectID;
    std::vector<ObjectInfo> mObjectInfoList;
    // Each entry's object, in the entries' order: the walk by pointer reads
    // these packed words, not the entries.
    std::vector<QnASPlugInObject*> mEntryObjects;
    std::vector<UInt32> mEntryByID; // mapped ID -> its entry's position + 1, 0 otherwise
    std::size_t mLastFound = 0;     // the entry found last (a hint only)
};
