// Who this process is and which processes run, as the system's process
// table shows them: names of at most 16 characters, compared as bytes.
#pragma once

#include <sys/types.h>

// The client-application types a process is classified as.
enum ClientAppTypeValue : int {
    kClientControlPanel = 1,
    kClientAudioSetup = 2,
    kClientMediaPlayer = 3,
    kClientWorkstation = 4,
    kClientAudioServer = 5,
    kClientChat = 6,
    kClientLX420Panel = 7,
    kClientHX5100Panel = 8,
    kClientLX880Panel = 9,
    kClientSystemUIServer = 10,
    kClientAudioEditor = 11,
    kClientLoginWindow = 12,
    kClientDJPlatter = 13,
    kClientDJ = 14,
    kClientHelperApp = 17,
    kClientOther = 18,
};

// The type of a process by its name (any length; null gives 18): the rows
// are tried in order on the upper-cased name and the last that matches wins.
int ClientAppType(const char* processName);

// The name of process pid, at most 16 characters, into name (17 bytes are
// cleared first). False when there is no such process, the table cannot be
// read, or name is null.
bool GetProcessNameFromPID(pid_t pid, char* name);

// True for the first table entry whose 16-character name equals the first 16
// characters of name and that is not a zombie; logs "Found process %d %s".
bool ProcessIsRunning(const char* name);

// The major release number of the running kernel: the leading decimal number
// of uname's release, up to its first '.' (0 when there is none).
int GetMacOSRelease();

// The root of the product's settings domains and identifiers.
const char* getIDRoot();
