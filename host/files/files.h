// Whole-file reads, locks, copies and the cached read of configuration files.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

// flock operations as the callers pass them.
inline constexpr int kLockShared = 1;
inline constexpr int kLockExclusive = 2;
inline constexpr int kLockUnlock = 8;

// Reads a whole file. Answers its length (0 for an empty file) or -1 when it
// cannot be read; `data` holds the bytes.
std::int64_t MFILE_Read(const std::string& path, std::string& data);

// flock() with the operations above; 0 on success.
int MFILE_Lock(int fd, int op);

// Opens `path` (read-write when flag is 1, created when missing), takes an
// exclusive lock and reads it whole. Answers the descriptor, which the caller
// closes, or a negative value.
int MFILE_LockRW(const std::string& path, std::string& data, int flag);

// Copies a file to a new file created with `mode` (written to a temporary
// name beside the target, then renamed). 0 on success, -1 on failure.
int MFILE_Copy(const std::string& source, const std::string& target, int flags, mode_t mode);

// A name unique to this process and moment: "<seconds>.<pid>.<counter>".
std::string MFILE_StampName();

// Writes all `length` bytes to `fd`, going on after short writes and EINTR.
// False with errno set when a write fails (EIO when it writes nothing).
bool WriteAll(int fd, const char* data, std::size_t length);

// Reads exactly `size` bytes at `offset` of `fd` (pread); false on a short
// read or an error.
bool ReadAt(int fd, std::uint64_t offset, std::size_t size, std::string& out);

// Writes all of `data` at `offset` of `fd` (pwrite); false with errno set when
// a write fails.
bool WriteAt(int fd, std::uint64_t offset, std::string_view data);

// Writes `data` to `path` through a temporary name unique to the process and
// rename(); the file gets `mode`. 0 on success, -1 on failure (nothing
// changes at `path`).
int WriteFileAtomic(const std::string& path, std::string_view data, mode_t mode);

// A file rewritten through a rename is first written as "<path>.tmp." and
// digits and dots that make the name unique to the writer.
inline constexpr std::string_view kTempNameInfix = ".tmp.";

// The name a temporary name of the form above stands for ("a.dat" for
// "a.dat.tmp.17"); empty when `name` is not such a name.
std::string_view TempNameTarget(std::string_view name);

// Reads a configuration file through a per-process cache. Answers the length
// or -1; `data` points at the cached bytes, valid for the process.
std::int64_t MSHM_FileRead(const std::string& path, const std::string*& data, int flags);
