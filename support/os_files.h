#pragma once
// Thin wrappers over the operating system's file, folder and name services, with the engine's
// conventions: handles are descriptors (-1 on failure), failures leave the OS error for
// OSLastError / OSLastNativeError.
//
// Open modes: the low two bits select the access (0 read, 1 write, 2 read and write), the high
// four bits the sharing (0 and 1 none, 2 share reading, 3 share writing, 4 share both). Opens
// without sharing are exclusive; every other sharing is shared (the sharing lock of
// platform/posix_file.h knows only these two).

#include <cstdint>
#include <string>

#include "framework/string_list.h"
#include "platform/critical_section.h"

namespace korvel {

inline constexpr int fmReadExclusive = 16;
inline constexpr int fmReadShared = 64;
inline constexpr int fmReadWriteExclusive = 18;
inline constexpr int fmReadWriteShared = 66;

// A temporary file opened or created here is deleted when its descriptor is closed.
int OSFileOpen(const std::string& name, int mode, bool temporary);
int OSFileCreate(const std::string& name, bool temporary);
bool OSFileClose(int handle);
bool OSFileDelete(const std::string& name);
bool OSFileRename(const std::string& oldName, const std::string& newName);
bool OSFileLock(int handle, std::int64_t offset, std::int64_t length);
bool OSFileUnlock(int handle, std::int64_t offset, std::int64_t length);
// Moves the descriptor's own file pointer (used by OSFileRead, OSFileWrite, OSSetEndOfFile).
std::int64_t OSFileSeek(int handle, std::int64_t offset, int origin);
std::int64_t OSFileRead(int handle, void* buffer, std::int64_t count);
std::int64_t OSFileWrite(int handle, const void* buffer, std::int64_t count);
bool OSSetEndOfFile(int handle);
bool OSFileFlush(int handle);

inline constexpr int faReadOnlyAttribute = 0x01;
inline constexpr int faDirectoryAttribute = 0x10;
inline constexpr int faNormalAttribute = 0x80;
// The attributes of a file (faReadOnlyAttribute, faDirectoryAttribute, faNormalAttribute) or -1.
int OSFileAge(const std::string& name);  // packed local date and time, -1 if missing or a folder
int OSFileAttr(const std::string& name);
bool OSFileExists(const std::string& name);
std::int64_t OSSizeOfFile(const std::string& name);  // 0 if not found
double OSTimeStampOfFile(const std::string& name);   // local date-time value, 0 if not found
// Bare names of the ordinary files matching pattern ("dir/*.DAT").
void OSListFiles(TStringList& list, const std::string& pattern, bool withExtension);
// The first free name directory + (five digits of the thread id) + counter + suffix.
std::string OSTempFileName(const std::string& directory, const std::string& suffix);
// The largest file the file system holding `path` can keep.
std::int64_t OSGetMaxFileSize(const std::string& path);
std::string OSGetCurrentDirectory();
std::string OSGetTempDirectory();
std::string OSGetWindowsDirectory();  // the system configuration folder, "/etc/"
std::string OSGetSystemDirectory();   // the system library folder, "/usr/lib/"
std::string OSGetComputerName();
std::string OSGetUserName();
double OSGetVersion();
int OSGetPlatform();

TCriticalSection* OSAllocCriticalSection();
void OSInitializeCriticalSection(TCriticalSection*);
void OSEnterCriticalSection(TCriticalSection* section);
void OSLeaveCriticalSection(TCriticalSection* section);
void OSDeleteCriticalSection(TCriticalSection*);
void OSDeAllocCriticalSection(TCriticalSection* section);

}  // namespace korvel
