#include "libs/tools/ZrObject.h"

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
