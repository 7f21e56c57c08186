#include "imageio/imageio.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "engine/messages.h"
#include "engine/options.h"
#include "engine/stack.h"
#include "imageio/bmp.h"
#include "imageio/jpeg.h"
#include "imageio/tiff.h"

namespace {

const char kUnsupportedInput[] = "Unsupported Input File Format: Must be JPEG, TIFF or BMP";
const char kUnsupportedOutput[] = "Unsupported Output File Format: Must be JPEG, TIFF or BMP";

bool hasCodec(int format) {
    return format == FORMAT_JPEG || format == FORMAT_TIFF || format == FORMAT_BMP;
}

// Only ASCII letters fold: the locale must not decide which names are images.
char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The process umask without changing it: umask() can only be read by setting it, which would
// briefly affect files other threads create, so the kernel's report is preferred.
mode_t currentUmask() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "Umask:") {
            unsigned value = 0;
            if (status >> std::oct >> value)
                return static_cast<mode_t>(value);
            break;
        }
        status.ignore(4096, '\n');
    }
    const mode_t mask = umask(022);
    umask(mask);
    return mask;
}

// What each codec says when it cannot create its file; a temporary file we cannot create
// fails for the same reasons as the target would.
void reportCannotCreate(int format, const char* path) {
    switch (format) {
        case FORMAT_JPEG:
            reportError("can't open %s", path);
            break;
        case FORMAT_TIFF:
            reportError("Could not create TIFF-file");
            break;
        default:
            reportError("writeBMP, could not open file");
            break;
    }
}

// The name of the temporary file a save is writing, for a signal handler that must remove it
// before the process ends: a fixed buffer and a lock-free flag, because the handler may neither
// allocate nor lock. One save at a time is announced; a concurrent one goes unannounced.
char temporaryInFlight[PATH_MAX];
constexpr int kTemporaryFree = 0, kTemporaryFilling = 1, kTemporaryNamed = 2;
std::atomic<int> temporaryState{kTemporaryFree};
static_assert(std::atomic<int>::is_always_lock_free);

// The folder part of path with its slash, or empty for a bare name.
std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The file a save to path replaces: a symbolic link stays a link and the file at the end of
// its chain is replaced, even one that does not exist yet. Empty for a chain that never ends.
std::string replacedFile(const char* path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat info {};
        if (lstat(current.c_str(), &info) != 0 || !S_ISLNK(info.st_mode))
            return current;
        char link[PATH_MAX];
        const ssize_t length = readlink(current.c_str(), link, sizeof link);
        if (length <= 0 || static_cast<std::size_t>(length) >= sizeof link)
            return std::string();
        // A relative link counts from its own folder; the kernel resolves the joined name the
        // same way, even through linked folders and "..".
        const std::string next(link, static_cast<std::size_t>(length));
        current = next[0] == '/' ? next : directoryOf(current) + next;
    }
    return std::string();
}

// The rename needs permission only on the folder, so without this a file the user made
// read-only would be replaced all the same. Root passes, as it would opening the file.
bool mayReplace(const std::string& target) {
    return faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) == 0 || errno == ENOENT;
}

// A replacement keeps the permission bits of the file it replaces and, where we may set them,
// its owner and group; a new file gets what any file we create gets. Group bits meant for a
// group we could not keep are dropped rather than handed to ours. File systems that have no
// modes refuse fchmod; the file is good all the same.
void adoptAttributes(int fd, const struct stat* previous) {
    mode_t mode = 0666 & ~currentUmask();
    if (previous != nullptr) {
        mode = previous->st_mode & 0777;
        // Only root may give a file away; an owner can still keep the group it is in.
        if (fchown(fd, previous->st_uid, previous->st_gid) != 0 &&
            fchown(fd, static_cast<uid_t>(-1), previous->st_gid) != 0) {
            mode &= ~static_cast<mode_t>(070);
        }
    }
    (void)fchmod(fd, mode);
}

// The temporary file of one save, created in a folder. Until it has replaced its target it is
// removed again, and while it exists a signal handler can find it.
struct TemporaryFile {
    std::string path;
    int fd = -1;
    bool announced = false;

    explicit TemporaryFile(const std::string& directory) : path(directory + ".quorvane-XXXXXX") {
        // A short name of its own: the target's name plus a suffix could exceed the file
        // system's name length, and only the folder matters for the rename.
        fd = mkostemp(path.data(), O_CLOEXEC);
        if (fd < 0)
            return;
        int expected = kTemporaryFree;
        if (path.size() < sizeof temporaryInFlight &&
            temporaryState.compare_exchange_strong(expected, kTemporaryFilling)) {
            std::memcpy(temporaryInFlight, path.c_str(), path.size() + 1);
            temporaryState.store(kTemporaryNamed);
            announced = true;
        }
    }
    ~TemporaryFile() {
        if (fd >= 0) {
            close(fd);
            unlink(path.c_str());
        }
        withdraw();
    }
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    void withdraw() {
        if (announced)
            temporaryState.store(kTemporaryFree);
        announced = false;
    }

    // Puts the written file in target's place. Synced first, or a crash soon after the rename
    // could leave an empty file where the old one was; the folder after, so the rename lasts.
    int replace(const std::string& target) {
        const bool synced = fsync(fd) == 0;
        // The descriptor is gone even when close reports an error.
        const bool closed = close(fd) == 0;
        fd = -1;
        if (!synced || !closed || std::rename(path.c_str(), target.c_str()) != 0) {
            unlink(path.c_str());
            withdraw();
            return -1;
        }
        withdraw();
        const std::string directory = directoryOf(target);
        const int folder =
            open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (folder >= 0) {
            // Some file systems cannot sync a folder; the file itself is safe by now.
            (void)fsync(folder);
            close(folder);
        }
        return 0;
    }
};

int writeWithCodec(int format, Image& image, const char* path, const char* shownName) {
    switch (format) {
        case FORMAT_JPEG:
            return writeJPEG(image, path, runOptions.jpeg_quality, 0, shownName);
        case FORMAT_TIFF:
            return writeTIFF(image, path);
        default:
            return writeBMP(image, path);
    }
}

}  // namespace

int getImageFormat(const char* path) {
    if (path == nullptr)
        path = "";
    const char* dot = std::strrchr(path, '.');
    if (dot == nullptr || std::strlen(dot) != 4) {
        reportError("File (%s) must have extension JPG, PNG, TIF or BMP", path);
        return FORMAT_INVALID;
    }
    const char extension[4] = {asciiLower(dot[1]), asciiLower(dot[2]), asciiLower(dot[3]), '\0'};
    if (std::strcmp(extension, "jpg") == 0)
        return FORMAT_JPEG;
    if (std::strcmp(extension, "tif") == 0)
        return FORMAT_TIFF;
    if (std::strcmp(extension, "bmp") == 0)
        return FORMAT_BMP;
    if (std::strcmp(extension, "png") == 0)
        return FORMAT_PNG;
    return FORMAT_INVALID;
}

int readImage(Image& image, const char* path) {
    switch (getImageFormat(path)) {
        case FORMAT_JPEG:
            return readJPEG(image, path);
        case FORMAT_TIFF:
            return readTIFF(image, path);
        case FORMAT_BMP:
            return readBMP(image, path);
        default:
            reportError("%s", kUnsupportedInput);
            return -1;
    }
}

int writeImage(Image& image, const char* path) {
    const int format = getImageFormat(path);
    if (!hasCodec(format)) {
        reportError("%s", kUnsupportedOutput);
        return -1;
    }
    const std::string target = replacedFile(path);
    struct stat previous {};
    const bool exists = !target.empty() && stat(target.c_str(), &previous) == 0;
    if (target.empty() || !mayReplace(target)) {
        reportCannotCreate(format, path);
        return -1;
    }

    // The codec writes beside the target and the result replaces it in one rename, so a
    // failed or interrupted save never leaves a damaged file where a good one was.
    TemporaryFile temporary(directoryOf(target));
    if (temporary.fd < 0) {
        reportCannotCreate(format, path);
        return -1;
    }
    if (writeWithCodec(format, image, temporary.path.c_str(), path) != 0)
        return -1;
    // Only now: the codec opens the file by name, which a read-only mode would refuse, and
    // until it is complete the file is best kept private.
    adoptAttributes(temporary.fd, exists ? &previous : nullptr);
    if (temporary.replace(target) != 0) {
        reportError("Could not write %s", path);
        return -1;
    }
    return 0;
}

int checkOutputWritable(const char* path) {
    const std::string target = replacedFile(path);
    if (!target.empty() && mayReplace(target))
        return 0;
    reportCannotCreate(getImageFormat(path), path);
    return -1;
}

void discardTemporaryOutput() {
    if (temporaryState.load() == kTemporaryNamed)
        unlink(temporaryInFlight);
}

int checkOutputFormat(const char* path) {
    if (hasCodec(getImageFormat(path)))
        return 0;
    reportError("%s", kUnsupportedOutput);
    return -1;
}

int outputIsInput(const std::string& output, const std::vector<std::string>& arguments,
                  const std::string& darkFrame) {
    struct stat outputStat {};
    const bool outputExists = stat(output.c_str(), &outputStat) == 0;
    const auto same = [&](const std::string& input) {
        if (input == output)
            return true;
        struct stat inputStat {};
        return outputExists && stat(input.c_str(), &inputStat) == 0 &&
               inputStat.st_dev == outputStat.st_dev && inputStat.st_ino == outputStat.st_ino;
    };
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        if (same(arguments[i]))
            return 1;
    }
    return !darkFrame.empty() && same(darkFrame) ? 1 : 0;
}

void installImageFileHandlers() {
    setImageFileHandlers(readImage, writeImage);
}
