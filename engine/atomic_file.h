#pragma once

// File operations of the storage directory. A write goes to a temporary file that is
// synced and then renamed over the target (and the directory synced), so a crash at any
// moment leaves the old or the new file, never a mix.
#include <string>
#include <string_view>

namespace zephrane::engine {

// A name the storage directory may hold: not empty, no path separator, not "." or
// "..", no ".." inside, no control characters, at most 128 bytes. Empty when good,
// else the reason.
std::string checkFileName(std::string_view name);

std::string joinPath(std::string_view dir, std::string_view name);

// Empty on success, else the reason. The file gets mode (0600 for anything secret). The
// temporary file is created exclusively and never through a symbolic link: a file or link
// planted at its name is skipped, never written through, and never takes the content.
std::string writeFileAtomically(const std::string& dir, const std::string& name, std::string_view content,
                                unsigned mode = 0644);

// The temporary name writeFileAtomically uses for name at a given sequence number, and
// the number its next attempt takes (each attempt takes one, process-wide).
std::string temporaryFileName(std::string_view name, unsigned sequence);
unsigned nextTemporarySequence();

// Reads a whole file. Returns false with error set; missing is true when it does not exist.
bool readWholeFile(const std::string& path, std::string& content, std::string& error, bool& missing);

// Renames dir/name to "<name>.damaged-<UTC time>" (with a counter if taken), never
// replacing anything. Empty on success, else the reason; newName gets the name used.
std::string setFileAside(const std::string& dir, const std::string& name, std::string& newName);

// Creates the directory and its missing parents. Empty on success, else the reason.
std::string makeDirectories(const std::string& dir);

// "2026-12-08T00:51:29Z" and "20261208T005129Z".
std::string utcTimeText();
std::string utcTimeCompact();

}  // namespace zephrane::engine
