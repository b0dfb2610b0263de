// The whole public interface of the core runtime library in one include.
#pragma once

#include "libs/core/QnStatus.h"
#include "libs/core/QnMemory.h"
#include "libs/core/QnAtomic.h"
#include "libs/core/QnClock.h"
#include "libs/core/QnSort.h"
#include "libs/core/QnUnicode.h"
#include "libs/core/QnTextEncoding.h"
#include "libs/core/QnStringUtils.h"
#include "libs/core/QnFormat.h"
#include "libs/core/QnDebug.h"
#include "libs/core/QnSync.h"
#include "libs/core/QnObject.h"
#include "libs/core/QnCallbacks.h"
#include "libs/core/QnThread.h"
#include "libs/core/QnInit.h"
