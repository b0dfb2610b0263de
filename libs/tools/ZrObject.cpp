#include "libs/tools/ZrObject.h"

#include "libs/core/QnAtomic.h"

ZrObject::ZrObject() : mReferences(0) {}

ZrObject::~ZrObject() {}

int ZrObject::compare(ZrObject const&) const {
    return 0;
}

bool ZrObject::onCommand(int, int) {
    return false;
}

bool ZrObject::isEqual(ZrObject const&) const {
    return true;
}

int ZrObject::incReferences() {
    return atomicInc(&mReferences);
}

int ZrObject::decReferences() {
    int n = atomicDec(&mReferences);
    if (n == 0) delete this;
    return n;
}
