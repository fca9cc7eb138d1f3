#include "icon_file.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "decode_base64.h"
#include "icon_data.h"

namespace zephrane {

std::string iconFilePath;

void writeIconFile() {
    char path[] = "/tmp/pngXXXXXX";
    int fd = mkstemp(path);
    if (fd == -1) {
        return;
    }
    std::string png = decodeBase64(iconPngBase64);
    ssize_t written = write(fd, png.data(), png.size());
    if (written == static_cast<ssize_t>(png.size())) {
        iconFilePath = path;
    }
    close(fd);
    // Also after a short write; the partial file is then left in place.
    std::atexit(removeIconFile);
}

void removeIconFile() {
    if (!iconFilePath.empty()) {
        std::remove(iconFilePath.c_str());
    }
}

}  // namespace zephrane
