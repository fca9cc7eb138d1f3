#pragma once

#include <string>

namespace zephrane {

// Path of the temporary icon PNG once written completely; empty otherwise.
extern std::string iconFilePath;

// Writes the built-in PNG icon to a new file made from "/tmp/pngXXXXXX" and registers
// removeIconFile to run at exit. Without a file, iconFilePath stays empty.
void writeIconFile();

// Exit handler: removes the icon file, ignoring every error.
void removeIconFile();

}  // namespace zephrane
