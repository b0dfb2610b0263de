// The whole property-list and run-loop stand-in, as the suite includes it.
#pragma once

#include "platform/cf/CFArray.h"
#include "platform/cf/CFBase.h"
#include "platform/cf/CFBundle.h"
#include "platform/cf/CFData.h"
#include "platform/cf/CFDictionary.h"
#include "platform/cf/CFNumber.h"
#include "platform/cf/CFPreferences.h"
#include "platform/cf/CFPropertyList.h"
#include "platform/cf/CFRunLoop.h"
#include "platform/cf/CFString.h"
#include "platform/cf/CFURL.h"
#include "platform/cf/CFUserNotification.h"
