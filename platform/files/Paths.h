// Program directory, search path, files and the temporary directory.
#pragma once
#include <cstddef>
#include <string>

namespace plat {

// A design path ('\' or '/' separators, wide text) as an operating-system path ('/', UTF-8).
std::string NativePath(const std::wstring& path);

std::wstring ProgramFile();  // from /proc/self/exe
std::wstring ProgramDir();   // directory of ProgramFile(), or the override below
void SetProgramDirForTesting(const std::wstring& dir);  // empty: back to /proc/self/exe

// Full path of a bare file name found on PATH, or empty.
std::wstring SearchPathFor(const std::wstring& name);
bool FileExists(const std::wstring& path);       // a regular file
bool DirectoryExists(const std::wstring& path);
// Gives a file a new name that nothing holds yet: false, with both names as they were, when a
// file, a directory or a link (dangling too) already has it; taken (optional) then tells that this
// was the reason.
bool RenameNoReplace(const std::wstring& from, const std::wstring& to, bool* taken = nullptr);
// Makes a file under a name that nothing holds yet and opens it for writing (close-on-exec): its
// descriptor, or -1; taken (optional) tells whether a file, a directory or a link (dangling too)
// already had the name.
int CreateNewFile(const std::wstring& path, bool* taken = nullptr);
// Writes all size bytes to the descriptor (a write cut short by a signal goes on): false when
// the file takes fewer.
bool WriteAll(int fd, const void* data, size_t size);
// Gives a file new content whole or not at all: written beside it under a name of its own
// ("<file>.new-<pid>-<n>"), then put in its place. False leaves the file as it was. A chain of
// links is followed (at most 40; relative ones from their own folder): the file it ends at gets the
// content, and is made when it does not exist yet, in a folder that must exist. An existing file
// keeps its owner, group and permissions. Where the new file cannot have that owner and group, or
// the folder takes no new file, the file itself is written over when it is writable, under an
// exclusive lock (flock) that keeps other saves of it out; a failure there puts the earlier bytes
// back as far as the file takes them. Each save removes the new files that earlier saves of the
// same file left behind (cut off by a crash), unless a live process may still be writing them.
bool ReplaceFileContents(const std::wstring& path, const std::string& bytes);
// Reads a whole file, under a shared lock (flock) so that a save of ReplaceFileContents that
// writes over the file itself is never read half done. False when it cannot be opened or read.
bool ReadFileContents(const std::wstring& path, std::string* bytes);
std::wstring TempDir();                          // with a trailing '/'

}  // namespace plat
