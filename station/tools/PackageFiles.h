// Temporary names, unpacking of image packages and the files in them. The bool results report
// with the optional code and text out-parameters, written only on failure; nothing is logged.
#pragma once
#include <cstdint>
#include <string>

// "<temp dir>~SERIAL<n><n>.kivmp/" (or the extension in place of ".kivmp"), a directory that does
// not exist yet; it is not created. Characters of the serial that cannot be part of a file name
// ('/', '\', control characters) become '_'.
bool MakeTempDirName(std::wstring* name, std::wstring serial, std::wstring extension);
// The same without the trailing '/', a file that does not exist yet.
bool MakeTempFileName(std::wstring* name, std::wstring serial, std::wstring extension);

// Extracts every entry of the package into the directory. Extracted files stay on failure.
bool UnzipToDirectory(std::wstring zipPath, std::wstring directory, int* code, std::wstring* error);

// The one file of the directory itself (no subdirectories, no hidden files) that matches the
// wildcard pattern (case-insensitive, as the design's file system matched).
bool FindSingleFile(std::wstring directory, std::wstring pattern, std::wstring* path, int* code,
                    std::wstring* error);

// The bytes a tool moves when it sends the file, or every regular file under the directory (links
// are not followed); what cannot be read counts 0.
uint64_t BytesToSend(std::wstring path);

// Deletes the directory with everything in it. Symbolic links are removed, never followed; an
// empty path, the root, a path ending in "." or ".." and a directory that is itself a link (with
// or without trailing separators) are refused.
bool DeleteDirectoryTree(std::wstring directory);

// --- the rules, for the tests ---
std::wstring FileNameSafeSerial(const std::wstring& serial);
